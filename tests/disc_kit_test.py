#!/usr/bin/env python3
"""The disc kit: a sound disc from sound inputs, its tracks in both file
systems, the installer's version as the launcher will read it, the same bytes
twice, a launcher signed from a PKCS#12 file or a key on a software token that
verifies, no secret in any output, and a clear refusal that leaves nothing
behind for each bad input.
Usage: disc_kit_test.py BUILD_DIR"""
import hashlib
import json
import os
import pty
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unicodedata
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KIT = ROOT / 'kit' / 'make-disc'
BUILD = (Path(sys.argv.pop(1)) if len(sys.argv) > 1 else ROOT / 'build' / 'win32').resolve()
PASSWORD = 'kit-test-secret'
PIN = '24681357'
LATIN1_PASSWORD = b'k\xe4y-secret'  # not UTF-8: taken as the bytes it is
TOKEN_KEY = 'pkcs11:token=Orvane;object=publisher;type=private'
SOFTHSM = Path('/usr/lib/softhsm/libsofthsm2.so')
sys.path.insert(0, str(ROOT / 'tests'))
import throwaway_certificates  # noqa: E402


def make_disc(*args, cwd, password=None, pin=None, env=None, file_size_limit=None, umask=None,
              stdout=subprocess.PIPE, stderr=subprocess.PIPE):
    """One run of the kit; `password` and `pin` (text or bytes) go into the
    environment, as does `env`."""
    secrets = {b'ORVANE_SIGN_PASSWORD': password, b'ORVANE_SIGN_PIN': pin}
    environment = {k: v for k, v in os.environb.items()
                   if k not in secrets and k != b'SOURCE_DATE_EPOCH'}
    for name, value in list(secrets.items()) + [(k.encode(), v) for k, v in (env or {}).items()]:
        if value is not None:
            environment[name] = value if isinstance(value, bytes) else value.encode()
    launcher = [] if '--launcher' in args else ['--launcher', str(BUILD / 'OrvaneCD.exe')]

    def limits():
        if file_size_limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        if umask is not None:
            os.umask(umask)
    return subprocess.run([sys.executable, str(KIT), *args, *launcher], cwd=cwd,
                          stdout=stdout, stderr=stderr, text=True, errors='backslashreplace',
                          env=environment, preexec_fn=limits)


def start_kit(*args, cwd):
    return subprocess.Popen([sys.executable, str(KIT), *args, '--launcher',
                             str(BUILD / 'OrvaneCD.exe')], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def sparse_installer(path, size):
    """The stand-in installer, grown to `size` bytes with a hole (no disk used)."""
    shutil.copy(BUILD / 'e2e_installer_1_3.exe', path)
    os.truncate(path, size)
    return str(path)


def wait_for_work_folder(folder, kit):
    """Until the run works in its marked work folder (a kill between making
    the folder and marking it leaves one the kit cannot know as its own)."""
    def marked(path):
        marker = path / '.make-disc-work'
        return path.name.startswith('.') and marker.exists() and marker.stat().st_size > 0
    for _ in range(3000):
        if any(marked(p) for p in folder.iterdir()) or kit.poll() is not None:
            return
        time.sleep(0.01)


def verifies(launcher, ca):
    return subprocess.run(['osslsigncode', 'verify', '-CAfile', str(ca), '-in', str(launcher)],
                          capture_output=True).returncode == 0


def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]


def volume_labels(image):
    """The volume identifiers of the ISO 9660 and the Joliet descriptor."""
    labels = {}
    with open(image, 'rb') as iso:
        for sector in range(16, 32):
            iso.seek(sector * 2048)
            descriptor = iso.read(2048)
            if descriptor[0] == 1:
                labels['iso'] = descriptor[40:72].decode('ascii').rstrip(' ')
            elif descriptor[0] == 2 and descriptor[88:91] in (b'%/@', b'%/C', b'%/E'):
                labels['joliet'] = descriptor[40:72].decode('utf-16-be').rstrip(' ')
            elif descriptor[0] == 255:
                break
    return labels.get('iso'), labels.get('joliet')


def listing(image, tree):
    """Every path of the image's Rock Ridge ('rr') or Joliet tree, with its
    mode, owner and size as xorriso shows them."""
    reading = ['-read_fs', 'norock'] if tree == 'joliet' else []
    lines = subprocess.run(['xorriso', *reading, '-indev', str(image), '-find', '/', '-exec',
                            'lsdl'], capture_output=True, text=True).stdout.splitlines()
    return sorted(lines)


# The paths the check's reader finds in an image, one a line, as xorriso shows them.
CROSS_CHECK = ('import sys, disc_reader; print("\\n".join(sorted("/" + "/".join(e.parts) '
               'for e in disc_reader.read_disc(sys.argv[1]).entries)))')


def names(lines):
    return sorted(line.split("'")[1] for line in lines)


class DiscKitTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs_dir = Path(tempfile.mkdtemp())
        cls.certs = throwaway_certificates.make(cls.certs_dir, PASSWORD)
        # A software token holding the signing key, as a hardware one would.
        tokens = cls.certs_dir / 'tokens'
        tokens.mkdir()
        config = cls.certs_dir / 'softhsm2.conf'
        config.write_text('directories.tokendir = %s\nobjectstore.backend = file\n' % tokens)
        os.environ['SOFTHSM2_CONF'] = str(config)
        for args in (['--init-token', '--free', '--label', 'Orvane', '--pin', PIN, '--so-pin',
                      '87654321'],
                     ['--import', str(cls.certs['key']), '--token', 'Orvane', '--label',
                      'publisher', '--id', '01', '--pin', PIN]):
            subprocess.run(['softhsm2-util'] + args, check=True, capture_output=True)
        cls.latin1 = cls.certs_dir / 'latin1.pfx'
        subprocess.run(['openssl', 'pkcs12', '-export', '-in', str(cls.certs['ca']), '-inkey',
                        str(cls.certs['key']), '-out', str(cls.latin1), '-passout', 'env:P'],
                       env={**os.environb, b'P': LATIN1_PASSWORD}, check=True, capture_output=True)
        # A signed installer, for the warnings about unsigned ones.
        cls.signed_installer = cls.certs_dir / 'signed_installer.exe'
        subprocess.run(['osslsigncode', 'sign', '-pkcs12', str(cls.certs['no_password']),
                        '-in', str(BUILD / 'e2e_installer_1_3.exe'), '-out',
                        str(cls.signed_installer)], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs_dir)
        os.environ.pop('SOFTHSM2_CONF')

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.playlist = self.dir / 'mix.p4u'
        self.playlist.write_text('#playlist\n')

    def tearDown(self):
        subprocess.run(['rm', '-rf', str(self.dir)])

    def tracks(self):
        """A content folder: subfolders, a non-ASCII name, an empty folder."""
        tracks = self.dir / 'tracks'
        (tracks / 'Mixes' / 'Größe').mkdir(parents=True, exist_ok=True)
        (tracks / 'Empty').mkdir(exist_ok=True)
        (tracks / 'intro.wav').write_bytes(b'RIFF' + bytes(5000))
        (tracks / 'Mixes' / 'Größe' / 'Ünder.mp3').write_bytes(bytes(3000))
        return str(tracks)

    def japanese(self):
        (self.dir / 'ja' / '日本語').mkdir(parents=True, exist_ok=True)
        (self.dir / 'ja' / '日本語' / 'さくら.mp3').write_bytes(bytes(100))
        return str(self.dir / 'ja')

    def test_makes_sound_discs(self):
        installer = str(BUILD / 'e2e_installer_1_3.exe')
        epoch = {'SOURCE_DATE_EPOCH': '1700000000'}
        own = ['/', '/CDPlayList.p4u', '/Orvane Installer', '/Orvane Installer/ervast_orvane.exe',
               '/OrvaneCD.exe', '/autorun.inf']
        tracks = ['/Empty', '/Mixes', '/Mixes/Größe', '/Mixes/Größe/Ünder.mp3', '/intro.wav']

        def laid_out(result, out):
            label = 'Summer Mix*Vol 3'
            self.assertEqual(names(listing(out.with_suffix('.iso'), 'rr')), sorted(own + tracks))
            self.assertEqual(names(listing(out.with_suffix('.iso'), 'joliet')),
                             sorted(own + tracks))
            self.assertEqual((out / 'autorun.inf').read_bytes(),
                             b'[autorun]\r\nopen=OrvaneCD.exe\r\nicon=OrvaneCD.exe,0\r\n'
                             b'action=Play the playlist with Orvane\r\nlabel=%s\r\n' %
                             label.encode())
            # Windows shows the Joliet label; ISO 9660's takes d-characters only.
            self.assertEqual(volume_labels(out.with_suffix('.iso')), ('SUMMER_MIX_VOL_3', label))
            self.assertEqual((out / 'OrvaneCD.exe').read_bytes(),
                             (BUILD / 'OrvaneCD.exe').read_bytes())
            self.assertIn('installer version: 1.3.0.0', result.stdout)
            # The kit names itself, not xorriso's version, in the volume's fields.
            head = out.with_suffix('.iso').read_bytes()[:20 * 2048]
            self.assertNotIn(b'XORRISO', head)
            self.assertIn(b'MAKE-DISC', head)
            launcher = hashlib.sha256((BUILD / 'OrvaneCD.exe').read_bytes()).hexdigest()
            self.assertIn('tracks:      2 files\nlauncher:    unsigned, SHA-256 %s' % launcher,
                          result.stdout)

        def same_twice(result, out):
            # Other copies of the inputs, another umask: the same image and checksum.
            again = self.dir / 'again'
            again.mkdir()
            shutil.copy(installer, again / 'installer.exe')
            shutil.copytree(self.dir / 'tracks', again / 'tracks')
            second = make_disc(str(again / 'installer.exe'), str(self.playlist), 'again/disc',
                               '--content', str(again / 'tracks'), cwd=self.dir, env=epoch,
                               umask=0o077)
            self.assertEqual(second.returncode, 0, second.stderr)
            for suffix in ('.iso', '.iso.sha256'):
                self.assertEqual((again / ('disc' + suffix)).read_bytes(),
                                 out.with_name(out.name + suffix).read_bytes(), suffix)
            lines = listing(out.with_suffix('.iso'), 'rr')
            self.assertTrue(all(line[1:10] in ('r-xr-xr-x', 'r--r--r--') and ' 0 ' in line
                                for line in lines), lines)
            self.assertTrue(all('Nov 14  2023' in line for line in lines), lines)

        def the_files_linked(result, out):
            rows = listing(out.with_suffix('.iso'), 'rr')
            size = str(os.path.getsize(installer))
            self.assertIn(size, [r for r in rows if 'ervast_orvane.exe' in r][0])
            self.assertFalse(any(line.startswith('l') for line in rows), rows)

        def image_only(result, out):
            self.assertFalse(out.exists())
            self.assertEqual(out.with_suffix('.iso').read_bytes(),
                             (self.dir / 'first' / 'disc.iso').read_bytes())

        def folder_only(result, out):
            self.assertTrue(out.is_dir())
            self.assertFalse(out.with_suffix('.iso').exists())

        def nothing_written(result, out):
            self.assertFalse(any(out.parent.glob(out.name + '*')))
            self.assertIn('dry run, nothing written', result.stdout)

        def made(result, out):
            self.assertTrue(all(out.with_name(out.name + s).exists() for s in ('', '.iso',
                                                                              '.iso.sha256')))

        def progress_shown(result, out):
            self.assertIn('make-disc: copying', result.terminal)

        def joliet_names_whole(result, out):
            self.assertEqual(names(listing(out.with_suffix('.iso'), 'joliet')),
                             sorted(own + tracks + ['/日本語', '/日本語/さくら.mp3']))

        def systems_leavings_left_out(result, out):
            self.assertEqual(names(listing(out.with_suffix('.iso'), 'joliet')),
                             sorted(own + ['/a.mp3', '/Sub']))
            self.assertIn('left out 5 files and folders', result.stderr)

        def systems_leavings_kept(result, out):
            self.assertIn('/Sub/desktop.ini', names(listing(out.with_suffix('.iso'), 'joliet')))

        def case_split_folders_one(result, out):
            self.assertEqual(names(listing(out.with_suffix('.iso'), 'joliet')),
                             sorted(own + ['/Mixes', '/Mixes/a.mp3', '/Mixes/b.mp3']))
            self.assertIn('goes into the folder /Mixes', result.stderr)

        for folder, name in (('c1/Mixes', 'a.mp3'), ('c2/MIXES', 'b.mp3'), ('junk', 'a.mp3'),
                             ('junk', '.DS_Store'), ('junk', '._a.mp3'), ('junk/.git', 'config'),
                             ('junk/Sub', 'Thumbs.db'), ('junk/Sub', 'desktop.ini')):
            (self.dir / folder).mkdir(parents=True, exist_ok=True)
            (self.dir / folder / name).write_bytes(bytes(100))
        (self.dir / 'elsewhere' / 'sub').mkdir(parents=True)
        (self.dir / 'link').symlink_to(self.dir / 'elsewhere' / 'sub')
        (self.dir / 'installer-link.exe').symlink_to(installer)
        (self.dir / 'playlist-link.p4u').symlink_to(self.playlist)
        cases = [
            # name, arguments, run options, the disc folder made, what to check
            ('layout, labels and tracks in both file systems',
             [installer, 'mix.p4u', 'out/disc', '--label', 'Summer Mix*Vol 3', '--content',
              self.tracks()], {}, 'out/disc', laid_out),
            ('the same bytes twice with SOURCE_DATE_EPOCH, whatever the umask',
             [installer, 'mix.p4u', 'first/disc', '--content', str(self.dir / 'tracks')],
             {'env': epoch, 'umask': 0o022}, 'first/disc', same_twice),
            ('installer and playlist given as links', ['installer-link.exe',
                                                       'playlist-link.p4u', 'linked'],
             {}, 'linked', the_files_linked),
            ('output through a link and ..', [installer, 'mix.p4u', 'link/../new/disc'], {},
             'elsewhere/new/disc', made),
            ('output named as the image: its stem is the folder',
             [installer, 'mix.p4u', 'summer.iso'], {}, 'summer', made),
            ('standard output closed', [installer, 'mix.p4u', 'closed'],
             {'stdout': 'closed'}, 'closed', made),
            ('standard error closed', [installer, 'mix.p4u', 'closed-error'],
             {'stderr': 'closed'}, 'closed-error', made),
            ('a terminal shows progress', [installer, 'mix.p4u', 'shown'],
             {'stderr': 'terminal'}, 'shown', progress_shown),
            ('non-ASCII names whole in Joliet under the C locale',
             [installer, 'mix.p4u', 'c-locale', '--content', str(self.dir / 'tracks'),
              '--content', self.japanese()], {'env': {'LC_ALL': 'C', 'LANG': 'C'}},
             'c-locale', joliet_names_whole),
            ('folders differing in letter case become one, under the first spelling',
             [installer, 'mix.p4u', 'case', '--content', 'c1', '--content', 'c2'], {}, 'case',
             case_split_folders_one),
            ('what systems leave in content folders left out, counted',
             [installer, 'mix.p4u', 'junk-out', '--content', 'junk'], {}, 'junk-out',
             systems_leavings_left_out),
            ('... and kept with --keep-hidden',
             [installer, 'mix.p4u', 'junk-kept', '--content', 'junk', '--keep-hidden'], {},
             'junk-kept', systems_leavings_kept),
            ('the same content folder twice counts once',
             [installer, 'mix.p4u', 'twice', '--content', 'c1', '--content', 'c1/../c1'], {},
             'twice', made),
            ('--image-only: no folder, the same image',
             [installer, 'mix.p4u', 'image-only', '--image-only', '--content',
              str(self.dir / 'tracks')], {'env': epoch}, 'image-only', image_only),
            ('--folder-only: no image', [installer, 'mix.p4u', 'folder-only', '--folder-only'],
             {}, 'folder-only', folder_only),
            ('--dry-run writes nothing', [installer, 'mix.p4u', 'dry', '--dry-run', '--content',
                                          'junk'], {}, 'dry', nothing_written),
        ]
        for name, args, options, folder, check in cases:
            with self.subTest(name):
                terminal = None
                for stream in ('stdout', 'stderr'):
                    if options.get(stream) == 'closed':
                        read, options[stream] = os.pipe()
                        os.close(read)
                if options.get('stderr') == 'terminal':
                    terminal, options['stderr'] = pty.openpty()
                result = make_disc(*args, cwd=self.dir, **options)
                for stream in ('stdout', 'stderr'):
                    if isinstance(options.get(stream), int):
                        os.close(options[stream])
                if terminal is not None:
                    result.terminal = os.read(terminal, 65536).decode(errors='replace')
                    os.close(terminal)
                self.assertEqual(result.returncode, 0, result.stderr)
                check(result, self.dir / folder)
                if (self.dir / (folder + '.iso')).exists():
                    self.assertEqual(subprocess.run(['sha256sum', '-c', Path(folder).name +
                                                     '.iso.sha256'],
                                                    cwd=(self.dir / folder).parent,
                                                    capture_output=True).returncode, 0)

    def test_says_what_the_launcher_will_see(self):
        signed = str(self.signed_installer)
        damaged = bytearray((BUILD / 'e2e_installer_1_3.exe').read_bytes())
        key = damaged.find('VS_VERSION_INFO'.encode('utf-16-le'))
        damaged[key + 34:key + 38] = bytes(4)  # the fixed part's signature
        (self.dir / 'damaged.exe').write_bytes(damaged)
        cases = [
            # installer, extra arguments, the version line, warnings it gives,
            # warnings it must not give
            ('1_3', [], 'installer version: 1.3.0.0: the launcher offers to install',
             ['launcher on the disc is unsigned', 'carries no Authenticode'], ['version']),
            (signed, ['--sign', str(self.certs['signing'])], 'installer version: 1.3.0.0',
             ['signed without --timestamp', 'expires within 90 days'], ['unsigned',
                                                                         'Authenticode']),
            ('none', [], 'installer version: none', ['no version information'], []),
            ('id2', [], 'installer version: none', ['under id 2, which Windows does not read',
                                                     'no version information'], []),
            ('languages', [], 'installer version: 1.3.0.0 or 2.5.0.0, by the user\'s language',
             ['different versions by language: 1.3.0.0 in language 0409, 2.5.0.0 in language '
              '0411'], []),
            ('short_root', [], 'installer version: none', ['fixed part of 0 bytes'], []),
            (str(self.dir / 'damaged.exe'), [], 'installer version: 1.3.0.0: the launcher offers',
             ['signature 0x0, not 0xfeef04bd), yet the launcher reads version 1.3.0.0'], []),
            ('named', [], 'installer version: 0.0.0.0: the launcher offers neither',
             ['under name VERINFO', 'declares version 0.0.0.0'], []),
            ('1_3', ['--content', self.tracks()], 'installer version: 1.3.0.0',
             ['names 2 tracks that the disc will not hold: Tracks\\missing.wav, ../above.wav',
              'names 1 track by an absolute path, which names a place on some computer, never '
              'the disc: C:\\Music\\x.mp3'], []),
            # ... and playlists of other forms and encodings
            ('1_3', [], 'installer version', ['is in PLS form, which the kit does not read'],
             ['will not hold'], b'[playlist]\nFile1=intro.wav\nNumberOfEntries=1\n'),
            ('1_3', ['--content', self.japanese()], 'installer version',
             ['the kit read it as Windows code page 932'], ['will not hold'],
             '日本語\\さくら.mp3\r\n'.encode('cp932')),
            ('1_3', ['--content', self.tracks()], 'installer version',
             ['names 1 track that the disc will not hold: missing.wav'], ['not UTF-8'],
             'intro.wav\r\nmissing.wav\r\n'.encode('utf-16')),
            ('1_3', ['--content', self.tracks()], 'installer version',
             ['names 1 track whose letters the disc holds composed otherwise'], ['will not hold'],
             unicodedata.normalize('NFD', 'Mixes/Größe/Ünder.mp3').encode()),
        ]
        self.playlist.write_text('#EXTM3U\nintro.wav\nhttp://radio.example/stream\n'
                                 'C:\\Music\\x.mp3\nmixes\\GRÖßE\\ünder.mp3\n'
                                 'Tracks\\missing.wav\n../above.wav\n')
        for installer, extra, line, said, unsaid, *other_playlist in cases:
            with self.subTest(installer + ' ' + ' '.join(extra) + str(other_playlist)):
                playlist = self.dir / ('other.p4u' if other_playlist else 'mix.p4u')
                playlist.write_bytes(other_playlist[0] if other_playlist else
                                     self.playlist.read_bytes())
                path = installer if '/' in installer else str(BUILD / ('e2e_installer_%s.exe' %
                                                                        installer))
                out = self.dir / 'out'
                result = make_disc(path, str(playlist), str(out), *extra, cwd=self.dir,
                                   password=PASSWORD)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(line, result.stdout)
                for text in said:
                    self.assertIn(text, result.stderr)
                for text in unsaid:
                    self.assertNotIn(text, result.stderr)
                self.assertTrue(all(w.startswith('make-disc: warning: ')
                                    for w in result.stderr.splitlines()), result.stderr)
                subprocess.run(['rm', '-rf', str(out), str(out) + '.iso', str(out) +
                                '.iso.sha256'])

    def test_refuses_bad_input_and_leaves_nothing(self):
        (self.dir / 'taken').mkdir()
        os.mkfifo(self.dir / 'pipe.p4u')
        installer = str(BUILD / 'e2e_installer_1_3.exe')
        cut = self.dir / 'cut.exe'
        cut.write_bytes((BUILD / 'e2e_installer_1_3.exe').read_bytes()[:17000])
        # Sparse installers: larger than a 74-minute CD, and 4 GiB, with nothing written.
        huge = sparse_installer(self.dir / 'huge.exe', 700 * 1000 * 1000)
        (self.dir / 'huge-link.exe').symlink_to(huge)
        four_gib = sparse_installer(self.dir / 'four.exe', 4 * 1024 ** 3)
        grown = sparse_installer(self.dir / 'grown.exe', 8 * 1024 * 1024)
        playlist = str(self.playlist)
        content = {}
        for name, paths in (('own', ['AUTORUN.INF']), ('case', ['Mix/a.wav']),
                            ('case2', ['MIX/A.WAV']), ('colon', ['Mix/a:b.wav']),
                            ('long', ['x' * 104 + '.wav']),
                            ('deep', ['1/2/3/4/5/6/7/8/track.wav']), ('linked', ['a.wav']),
                            ('piped', [])):
            for path in paths:
                (self.dir / name / path).parent.mkdir(parents=True, exist_ok=True)
                (self.dir / name / path).write_bytes(b'x')
            content[name] = str(self.dir / name)
        (self.dir / 'linked' / 'b.wav').symlink_to(self.dir / 'linked' / 'a.wav')
        (self.dir / 'deep-empty' / '1/2/3/4/5/6/7/8').mkdir(parents=True)
        (self.dir / 'not-utf8').mkdir()
        (self.dir / 'not-utf8' / os.fsdecode(b'a\xff.wav')).write_bytes(b'x')
        (self.dir / 'album').mkdir()
        sparse_installer(self.dir / 'album' / 'long mix.wav', 700 * 1000 * 1000)
        (self.dir / 'piped').mkdir()
        os.mkfifo(self.dir / 'piped' / 'live.wav')
        token = ['--sign-token', TOKEN_KEY, '--sign-cert', str(self.certs['ca']),
                 '--pkcs11-module', str(SOFTHSM)]
        # Signatures that do not hold: bytes changed after signing, and a
        # certificate table of garbage.
        tampered = flipped(self.signed_installer.read_bytes(), 0x500)
        (self.dir / 'tampered.exe').write_bytes(tampered)
        garbage = bytearray((BUILD / 'e2e_installer_1_3.exe').read_bytes())
        entry = struct.unpack_from('<I', garbage, 0x3C)[0] + 24 + 96 + 8 * 4
        struct.pack_into('<II', garbage, entry, len(garbage), 16)
        (self.dir / 'garbage.exe').write_bytes(bytes(garbage) + os.urandom(16))
        signed_launcher = self.dir / 'signed-launcher.exe'
        subprocess.run(['osslsigncode', 'sign', '-pkcs12', str(self.certs['no_password']),
                        '-in', str(BUILD / 'OrvaneCD.exe'), '-out', str(signed_launcher)],
                       check=True, capture_output=True)
        signed_launcher.write_bytes(flipped(signed_launcher.read_bytes(), 0x600))
        cases = [
            # name, arguments, what stderr says, the file-size limit, the environment
            ('missing installer', ['nothere.exe', playlist, 'disc'], 'cannot be read'),
            ('missing playlist', [installer, 'nothere.p4u', 'disc'], 'cannot be read'),
            ('installer that is text', [playlist, playlist, 'disc'], 'not a Windows executable'),
            ('installer that is a DLL', [str(BUILD / 'e2e_planted.dll'), playlist, 'disc'],
             'not a Windows executable'),
            ('installer cut short', [str(cut), playlist, 'disc'],
             'the installer is cut short: 17,000 bytes, its sections need {:,}'.format(
                 os.path.getsize(installer))),
            ('installer that is a device', ['/dev/zero', playlist, 'disc'], 'not a regular file'),
            ('playlist that is a pipe', [installer, 'pipe.p4u', 'disc'], 'not a regular file'),
            ('installer of 4 GiB on a dual-layer DVD', [four_gib, playlist, 'disc', '--media',
                                                         'dvd-dl'], 'files below 4 GiB'),
            ('output exists', [installer, playlist, 'taken'], 'already exists'),
            ('output under a file', [installer, playlist, 'mix.p4u/disc'], 'is not a folder'),
            ('output with a line feed', [installer, playlist, 'dis\nc'], 'control character'),
            ('output beginning with -', [installer, playlist, '-disc'], 'goes after --'),
            ('output .', [installer, playlist, '.'], 'names no folder'),
            ('output /', [installer, playlist, '/'], 'names no folder'),
            ('output empty', [installer, playlist, ''], 'names no folder'),
            ('output not UTF-8', [installer, playlist, os.fsdecode(b'disc\xff')],
             'not valid UTF-8'),
            ('output too long for the file system', [installer, playlist, 'd' * 250],
             'too long'),
            ('label longer than Joliet holds', [installer, playlist, 'disc', '--label',
                                                'X' * 17], 'label'),
            ('label of blanks', [installer, playlist, 'disc', '--label', '   '], 'all blanks'),
            ('label beginning with a blank', [installer, playlist, 'disc', '--label', ' MIX'],
             'begins or ends with a blank'),
            ('label ending with a blank', [installer, playlist, 'disc', '--label', 'MIX '],
             'begins or ends with a blank'),
            ('image over the medium', [huge, playlist, 'disc', '--media', 'cd74'],
             'more than a cd74 holds (681,984,000'),
            ('a link to an installer over the medium, sized as its file',
             ['huge-link.exe', playlist, 'disc', '--media', 'cd74'], 'more than a cd74 holds',
             1024 * 1024),
            ('unknown medium', [installer, playlist, 'disc', '--media', 'bluray'], 'medium'),
            ('action too long', [installer, playlist, 'disc', '--action', 'X' * 101], 'action'),
            ('action not ASCII', [installer, playlist, 'disc', '--action',
                                  'Play with Orvane\u2122'], 'action'),
            ('launcher that is text', [installer, playlist, 'disc', '--launcher', playlist],
             'is not a Windows program'),
            ('launcher that is a DLL', [installer, playlist, 'disc', '--launcher',
                                        str(BUILD / 'e2e_planted.dll')], 'not a Windows GUI'),
            ('launcher that is the PE32+ build', [installer, playlist, 'disc', '--launcher',
                                                  str(BUILD.parent / 'win64' / 'OrvaneCD.exe')],
             'not a 32-bit x86 program'),
            ('timestamp without signing', [installer, playlist, 'disc', '--timestamp',
                                           'http://127.0.0.1:9/'], 'acts only with --sign'),
            ('password file without signing', [installer, playlist, 'disc',
                                               '--sign-password-file', playlist],
             'acts only with --sign'),
            ('certificate without a token', [installer, playlist, 'disc', '--sign-cert',
                                             playlist], 'acts only with --sign-token'),
            ('a file and a token at once', [installer, playlist, 'disc', '--sign', playlist,
                                            *token], 'exclude each other'),
            ('a token without its module', [installer, playlist, 'disc', *token[:4]],
             'needs --sign-cert and --pkcs11-module'),
            ('a file-size limit below the installer, in folders the kit makes',
             [grown, playlist, 'new/folder/disc'], 'File too large', 4 * 1024 * 1024),
            ('content taking the disc\'s own name', [installer, playlist, 'disc', '--content',
                                                    content['own']],
             'would take the name of the disc\'s own autorun.inf'),
            ('content names that differ in letter case only',
             [installer, playlist, 'disc', '--content', content['case'], '--content',
              content['case2']], 'MIX/A.WAV would take the name of'),
            ('content that is a link', [installer, playlist, 'disc', '--content',
                                        content['linked']], 'b.wav is a link'),
            ('content that is a pipe', [installer, playlist, 'disc', '--content',
                                        content['piped']], 'not a regular file or a folder'),
            ('content named as Joliet cannot hold', [installer, playlist, 'disc', '--content',
                                                     content['colon']],
             "'a:b.wav' cannot go on the disc whole"),
            ('content name longer than Joliet holds', [installer, playlist, 'disc',
                                                       '--content', content['long']],
             'Joliet holds 103'),
            ('content deeper than ISO 9660 allows', [installer, playlist, 'disc', '--content',
                                                     content['deep']], 'ISO 9660 allows 8'),
            ('an empty folder 8 names deep', [installer, playlist, 'disc', '--content',
                                              'deep-empty'], 'ISO 9660 allows 8'),
            ('content named in bytes that are not UTF-8', [installer, playlist, 'disc',
                                                           '--content', 'not-utf8'],
             "the name 'a\\xff.wav' cannot go"),
            ('a PEM file given to --sign', [installer, playlist, 'disc', '--sign',
                                            str(self.certs['ca'])], 'is a PEM file'),
            ('content that is a file', [installer, playlist, 'disc', '--content', playlist],
             'is not a folder'),
            ('tracks over the medium, sized before anything is written',
             [installer, playlist, 'disc', '--media', 'cd74', '--content',
              str(self.dir / 'album')], 'more than a cd74 holds', 1024 * 1024),
            ('an unsigned launcher with --require-signed',
             [installer, playlist, 'disc', '--require-signed'], 'launcher on the disc is '
             'unsigned'),
            ('an unsigned installer with --require-signed',
             [installer, playlist, 'disc', '--require-signed', '--sign',
              str(self.certs['no_password'])], 'carries no Authenticode signature'),
            ('SOURCE_DATE_EPOCH in milliseconds', [installer, playlist, 'disc'],
             'lies after 2155', {'SOURCE_DATE_EPOCH': '1700000000000'}),
            ('an installer changed after signing, with --require-signed',
             ['tampered.exe', playlist, 'disc', '--require-signed', '--sign',
              str(self.certs['no_password'])], 'its bytes were changed after it was signed'),
            ('a certificate table of garbage, with --require-signed',
             ['garbage.exe', playlist, 'disc', '--require-signed', '--sign',
              str(self.certs['no_password'])], 'holds no signature that can be read'),
            ('a warning under --strict, each printed first', [installer, playlist, 'disc',
                                                              '--strict'],
             '--strict takes each warning for a refusal (2 warnings above)'),
            ('a signed launcher changed after signing, with --require-signed',
             [str(self.signed_installer), playlist, 'disc', '--require-signed', '--launcher',
              str(signed_launcher)], 'the launcher on the disc carries an Authenticode '
             'signature that does not verify'),
        ]
        for name, args, message, *limit in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                environment = limit.pop() if limit and isinstance(limit[-1], dict) else None
                result = make_disc(*args, cwd=self.dir, file_size_limit=(limit or [None])[0],
                                   password='', env=environment)
                self.assertEqual(result.returncode, 1)
                said = [line for line in result.stderr.splitlines()
                        if not line.startswith('make-disc: warning: ')]
                self.assertEqual(len(said), 1, result.stderr)
                self.assertTrue(said[0].startswith('make-disc: '), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), before)

    def test_stopped_or_outrun_it_leaves_nothing_of_its_own(self):
        installer = sparse_installer(self.dir / 'big.exe', 300 * 1000 * 1000)
        playlist = str(self.playlist)
        made = ['disc', 'disc.iso', 'disc.iso.sha256']

        def intruder_file():
            (self.dir / 'disc.iso').write_text('not ours')

        def intruder_folder():
            (self.dir / 'disc.iso').mkdir()

        def another_kit():
            return start_kit(installer, playlist, 'disc', cwd=self.dir)

        writers = []

        def term_while_xorriso_writes(kit):
            children = '/proc/%d/task/%d/children' % (kit.pid, kit.pid)
            for _ in range(600):
                pids = Path(children).read_text().split() if os.path.exists(children) else []
                writers.extend(p for p in pids
                               if 'xorriso' in Path('/proc/%s/cmdline' % p).read_text())
                if writers:
                    break
                time.sleep(0.05)
            self.assertTrue(writers, 'xorriso was never seen writing')
            kit.send_signal(signal.SIGTERM)

        def term_once_in_place(kit):
            for _ in range(6000):
                if (self.dir / 'disc.iso.sha256').exists() or kit.poll() is not None:
                    break
                time.sleep(0.005)
            kit.send_signal(signal.SIGTERM)

        cases = [
            # name, signal or what happens meanwhile, exit status, stderr, what is left
            # (None: either finished, all made, or stopped, nothing left)
            ('SIGTERM', signal.SIGTERM, 143, 'stopped by SIGTERM', []),
            ('SIGHUP', signal.SIGHUP, 129, 'stopped by SIGHUP', []),
            ('SIGINT', signal.SIGINT, 130, 'stopped by SIGINT', []),
            ('SIGTERM while xorriso writes: xorriso ended with it', term_while_xorriso_writes,
             143, 'stopped by SIGTERM', []),
            ('SIGTERM as the outputs take their names: all made, or nothing left',
             term_once_in_place, None, None, None),
            ('a file appears as the image', intruder_file, 1, 'appeared', ['disc.iso']),
            ('a folder appears as the image', intruder_folder, 1, 'appeared', ['disc.iso']),
            # Which of the two ends first is not known: one succeeds, the other says so.
            ('another kit on the same output', another_kit, 1, 'appeared', made),
        ]
        for name, meanwhile, status, message, left in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                kit = start_kit(installer, playlist, 'disc', cwd=self.dir)
                wait_for_work_folder(self.dir, kit)
                if meanwhile in (term_while_xorriso_writes, term_once_in_place):
                    other = meanwhile(kit)
                else:
                    other = meanwhile() if callable(meanwhile) else kit.send_signal(meanwhile)
                errors = {run: run.communicate()[1] for run in (kit, other) if run}
                outcomes = sorted((run.returncode, text) for run, text in errors.items())
                if other:
                    self.assertEqual(outcomes[0][0], 0, outcomes[0][1])
                code, stderr = outcomes[-1]
                if status is None and code == 0:  # finished: whole, as it says
                    self.assertEqual(subprocess.run(['sha256sum', '-c', 'disc.iso.sha256'],
                                                    cwd=self.dir).returncode, 0)
                    subprocess.run(['rm', '-rf'] + [str(self.dir / n) for n in made])
                    continue
                if status is None:
                    status, message, left = 143, 'nothing of this run is left', []
                self.assertEqual(code, status, stderr)
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                self.assertIn(message, stderr)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()),
                                 sorted(before + left))
                if left == made:  # the other run's disc is whole
                    self.assertEqual(subprocess.run(['sha256sum', '-c', 'disc.iso.sha256'],
                                                    cwd=self.dir).returncode, 0)
                for name in left:
                    subprocess.run(['rm', '-rf', str(self.dir / name)])
                self.assertFalse([w for w in writers if os.path.exists('/proc/%s' % w)])

    def test_a_run_killed_outright_is_cleared_by_the_next(self):
        installer = sparse_installer(self.dir / 'big.exe', 300 * 1000 * 1000)
        kit = start_kit(installer, str(self.playlist), 'disc', cwd=self.dir)
        wait_for_work_folder(self.dir, kit)
        kit.kill()
        kit.communicate()
        left = [p for p in self.dir.iterdir() if p.name.startswith('.disc.')]
        self.assertEqual(len(left), 1)
        (self.dir / '.disc.mine').mkdir()  # the maker's own, unmarked: left alone
        result = make_disc(str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist), 'disc',
                           cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('removed %s, the work folder of an earlier run' % left[0], result.stderr)
        self.assertEqual(sorted(p.name for p in self.dir.iterdir() if p.name.startswith('.')),
                         ['.disc.mine'])

    def test_check_reads_a_disc_as_windows_does(self):
        """Discs made with xorriso alone, each with one fault the check must
        name, and the demo disc passing as image and folder; the names read
        are xorriso's Joliet names."""
        demo = BUILD.parent / 'demo-disc'
        signed = self.dir / 'signed.exe'
        subprocess.run(['osslsigncode', 'sign', '-pkcs12', str(self.certs['no_password']),
                        '-in', str(BUILD / 'OrvaneCD.exe'), '-out', str(signed)], check=True,
                       capture_output=True)

        def write(path, data):
            def change(folder):
                (folder / path).parent.mkdir(parents=True, exist_ok=True)
                (folder / path).write_bytes(data)
            return change

        def move_autorun(folder):
            (folder / 'Tracks' / 'autorun.inf').write_bytes((folder / 'autorun.inf').read_bytes())
            (folder / 'autorun.inf').unlink()

        def loop(image):
            """The folder Tracks pointed at the root, in its record and in the
            path table."""
            data = bytearray(image.read_bytes())
            joliet = next(s for s in range(16, 32) if data[s * 2048] == 2)
            root = struct.unpack_from('<I', data, joliet * 2048 + 158)[0]
            name = 'Tracks'.encode('utf-16-be')
            for at in [i for i in range(len(data)) if data.startswith(name, i)]:
                if data[at - 1] == len(name) and data[at - 33 + 25] & 2:  # a folder's record
                    struct.pack_into('<I', data, at - 33 + 2, root)
                    struct.pack_into('>I', data, at - 33 + 6, root)
                elif data[at - 8] == len(name):  # its path table record
                    struct.pack_into('<I', data, at - 6, root)
            image.write_bytes(data)

        xorriso = ['-J', '-joliet-long', '-r']
        cases = [
            # name, what is changed in the demo disc's folder, xorriso's options,
            # what is done to the image after, exit status, what the check says
            ('the demo disc', None, xorriso, None, 0, 'installed, 1.3 or newer: starts the '
             'player on the playlist'),
            ('autorun.inf in a subfolder', move_autorun, xorriso, None, 1,
             'no autorun.inf at the root'),
            ('[AutoRun.Amd64] holding only icon=', write('autorun.inf', b'[AutoRun]\r\n'
             b'open=OrvaneCD.exe\r\n[AutoRun.Amd64]\r\nicon=OrvaneCD.exe\r\n'), xorriso, None,
             1, 'on 64-bit Windows autorun.inf\'s [AutoRun.Amd64] has no open='),
            ('UseAutoPlay=1', write('autorun.inf', b'[autorun]\r\nopen=OrvaneCD.exe\r\n'
                                                   b'UseAutoPlay=1\r\n'), xorriso, None, 1,
             'UseAutoPlay=1'),
            ('no installer', lambda f: shutil.rmtree(f / 'Orvane Installer'), xorriso, None, 1,
             'no installer at Orvane Installer\\ervast_orvane.exe'),
            ('a version under resource id 2', write(
                'Orvane Installer/ervast_orvane.exe',
                (BUILD / 'e2e_installer_id2.exe').read_bytes()), xorriso, None, 1,
             'declares no version the launcher reads'),
            ('no Joliet: 8.3 names', None, ['-r'], None, 1, 'no installer at'),
            ('a second session that drops the installer', None, xorriso,
             lambda image: subprocess.run(['xorriso', '-dev', 'stdio:%s' % image, '-joliet',
                                           'on', '-rm_r', '/Orvane Installer', '--', '-commit'],
                                          check=True, capture_output=True), 1,
             'no installer at'),
            ('a signed launcher changed after signing', write(
                'OrvaneCD.exe', flipped(signed.read_bytes(), 0x600)), xorriso, None, 1,
             'does not verify'),
            ('a playlist naming a missing track', write('CDPlayList.p4u', b'Tracks\\gone.wav\r\n'),
             xorriso, None, 1, 'names 1 track that the disc will not hold: Tracks\\gone.wav'),
            ('names differing in letter case', write('Tracks/orvane demo tone.WAV', b'x'),
             xorriso, None, 1, 'differ only in letter case'),
            ('a folder that points back at the root', None, xorriso, loop, 1,
             'points back at a folder above it'),
            ('an image cut short', None, xorriso, lambda image: os.truncate(image, 60000), 1,
             'cut short'),
            ('a text file', None, None, None, 2, 'not a disc image'),
        ]
        for name, change, options, after, status, said in cases:
            with self.subTest(name):
                folder, image = self.dir / 'disc', self.dir / 'disc.iso'
                shutil.rmtree(folder, ignore_errors=True)
                shutil.copytree(demo, folder)
                if change:
                    change(folder)
                if options is None:
                    image.write_text('not an image')
                else:
                    image.unlink(missing_ok=True)
                    subprocess.run(['xorriso', '-as', 'mkisofs', '-quiet', *options, '-o',
                                    str(image), str(folder)], check=True, capture_output=True)
                if after:
                    after(image)
                result = subprocess.run([sys.executable, str(KIT), 'check', str(image)],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(said, result.stdout + result.stderr)
                self.assertNotIn('Traceback', result.stderr)
                if name == 'the demo disc':
                    self.assertEqual(result.stdout.count('fault:'), 0)
                    read = subprocess.run([sys.executable, '-c', CROSS_CHECK, str(image)],
                                          capture_output=True, text=True, cwd=KIT.parent)
                    self.assertEqual(read.stdout.split('\n')[:-1],
                                     names(listing(image, 'joliet'))[1:])
                    as_folder = subprocess.run([sys.executable, str(KIT), 'check', str(folder)],
                                               capture_output=True, text=True)
                    self.assertEqual(as_folder.returncode, 0, as_folder.stdout)

    def test_check_says_what_the_launcher_does(self):
        """The oracle: for every scenario of the end-to-end table on a disc
        of an installer variant, the check's line for the scenario's machine
        says what the launcher does there (the table holds what it did under
        Wine): which box, or none, and whether anything starts."""
        versions = {'kV1_2': (1, 2), 'kV1_3': (1, 3), 'kV2_0': (2, 0)}
        told = {}
        checked = 0
        for line in (ROOT / 'conformance' / 'scenarios.cpp').read_text().splitlines():
            name = re.search(r'\{\.name = L"(\w+)"', line)
            if not name or re.search(r'\.(program|tail|noDisplay|personPresses|japanesePrompts|'
                                     r'installer = L"(exit|del))', line):
                continue
            variant = (re.search(r'\.disc = L"(\w+)"', line) or re.match('(.*)', '1_3')).group(1)
            registration = re.search(r'\.registry = \{Reg\(([^)]*)\)', line)
            fields = registration.group(1).split(', ') if registration else None
            if not (BUILD / ('e2e_installer_%s.exe' % variant)).exists() or (
                    fields and (fields[1:2] != ['L"{player}"'] or len(fields) > 3)):
                continue
            if variant not in told:
                out = self.dir / variant
                made = make_disc(str(BUILD / ('e2e_installer_%s.exe' % variant)),
                                 str(self.playlist), str(out), '--folder-only', cwd=self.dir)
                self.assertEqual(made.returncode, 0, made.stderr)
                report = subprocess.run([sys.executable, str(KIT), 'check', str(out), '--json'],
                                        capture_output=True, text=True)
                told[variant] = json.loads(report.stdout)['sections']['what the launcher will do']
            version = versions[fields[2]] if fields and len(fields) > 2 else (1, 2)
            offered = re.search(r'installed, (\d+)\.(\d+) or newer', '\n'.join(told[variant]))
            if not fields:
                state = 'not installed'
            elif '.registry = {Reg()}' not in line and fields[-1] == '0':
                state = 'autorun switch off'
            elif not offered:
                state = 'installed'
            else:
                disc = tuple(map(int, offered.groups()))
                state = ('installed, older than %d.%d' if version < disc else
                         'installed, %d.%d or newer') % disc
            said = next((t for t in told[variant] if t.split(':')[0] == state), None)
            with self.subTest(name.group(1)):
                self.assertIsNotNone(said, told[variant])
                prompt = re.search(r'\.prompts = \{(k\w+)', line)
                self.assertEqual(('asks "Do you want to install Orvane now?"' in said,
                                  'updated version' in said),
                                 (prompt is not None and prompt.group(1) == 'kInstall',
                                  prompt is not None and prompt.group(1) == 'kUpdate'), said)
                if prompt is None:
                    self.assertEqual(said.endswith('starts nothing') or 'starts nothing (' in said,
                                     '.started' not in line, said)
                checked += 1
        self.assertGreater(checked, 10)

    def test_help_and_version(self):
        help_text = make_disc('--help', cwd=self.dir).stdout
        for described in ('installer', 'playlist', 'output', '--content',
                          'build/win32/OrvaneCD.exe', '--action', '--timestamp', '--sign-token',
                          '--require-signed', '--version'):
            self.assertIn(described, help_text)
        version = make_disc('--version', cwd=self.dir)
        self.assertEqual((version.returncode, version.stdout.split()[0]), (0, 'make-disc'))

    def test_signed_launcher_verifies_and_a_flipped_byte_does_not(self):
        password_file = self.dir / 'password.txt'
        # An editor's byte-order mark is not part of the password.
        password_file.write_bytes(b'\xef\xbb\xbf' + PASSWORD.encode() + b'\n')
        empty_file = self.dir / 'empty.txt'
        empty_file.write_bytes(b'')
        pin_file = self.dir / 'pin.txt'
        pin_file.write_text(PIN + '\n')
        utf16_pin_file = self.dir / 'pin-utf16.txt'
        utf16_pin_file.write_bytes((PIN + '\r\n').encode('utf-16'))
        signing, unprotected = str(self.certs['signing']), str(self.certs['no_password'])
        token = ['--sign-token', TOKEN_KEY, '--sign-cert', str(self.certs['ca']),
                 '--pkcs11-module', str(SOFTHSM)]
        for name, args, password, pin in (
                ('password from the environment', ['--sign', signing], PASSWORD, None),
                ('password from a file', ['--sign', signing, '--sign-password-file',
                                          str(password_file)], None, None),
                ('a file without a password, empty in the environment', ['--sign', unprotected],
                 '', None),
                ('a password that is not UTF-8', ['--sign', str(self.latin1)], LATIN1_PASSWORD,
                 None),
                ('a file without a password, an empty password file',
                 ['--sign', unprotected, '--sign-password-file', str(empty_file)], None, None),
                ('a key on a token, PIN from the environment', token, None, PIN),
                ('a key on a token, PIN from a file', token + ['--sign-pin-file', str(pin_file)],
                 None, None),
                ('a key on a token, PIN from a file saved as UTF-16',
                 token + ['--sign-pin-file', str(utf16_pin_file)], None, None)):
            with self.subTest(name):
                out = self.dir / name.replace(' ', '-').replace(',', '')
                result = make_disc(str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                                   str(out), '--action', 'Play it', *args, cwd=self.dir,
                                   password=password, pin=pin)
                self.assertEqual(result.returncode, 0, result.stderr)
                for secret in (PASSWORD, PIN, 'k\\xe4y', '\\udce4', 'y-secret', 'position'):
                    self.assertNotIn(secret, result.stdout + result.stderr)
                launcher = out / 'OrvaneCD.exe'
                self.assertTrue(verifies(launcher, self.certs['ca']))
                self.assertIn(b'action=Play it\r\n', (out / 'autorun.inf').read_bytes())
                tampered = self.dir / 'tampered.exe'
                data = bytearray(launcher.read_bytes())
                data[0x400] ^= 0xFF  # the first byte of the code
                tampered.write_bytes(data)
                self.assertFalse(verifies(tampered, self.certs['ca']))

    def test_signing_refusals_leave_nothing(self):
        installer = str(BUILD / 'e2e_installer_1_3.exe')
        made = make_disc(installer, str(self.playlist), 'signed', '--sign',
                         str(self.certs['signing']), cwd=self.dir, password=PASSWORD)
        self.assertEqual(made.returncode, 0, made.stderr)
        signed = self.dir / 'signed.exe'
        shutil.move(self.dir / 'signed' / 'OrvaneCD.exe', signed)
        subprocess.run(['rm', '-rf', 'signed', 'signed.iso', 'signed.iso.sha256'], cwd=self.dir)
        token = ['--sign-token', TOKEN_KEY, '--sign-cert', str(self.certs['ca']),
                 '--pkcs11-module', str(SOFTHSM)]

        def pfx(name):
            return ['--sign', str(self.certs.get(name, name))]
        cases = [
            # name, signing arguments, password, PIN, what stderr says
            ('PKCS#12 file missing', pfx('nothere.pfx'), PASSWORD, None, 'cannot be read'),
            ('wrong password', pfx('signing'), 'wrong', None, 'password given'),
            ('no password', pfx('signing'), None, None, 'no password'),
            ('no private key', pfx('no_key'), PASSWORD, None, 'no private key'),
            ('not for code signing', pfx('no_usage'), PASSWORD, None, 'code signing'),
            ('key usage without digital signatures', pfx('no_signature_usage'), PASSWORD, None,
             'without digital signatures'),
            ('an authority that leaves code signing out', pfx('under_server_ca'), PASSWORD,
             None, 'leaves code signing out'),
            ('expired', pfx('expired'), PASSWORD, None, 'expired'),
            ('not valid yet', pfx('not_yet_valid'), PASSWORD, None, 'not valid before'),
            ('signer fails: its own reason, the timestamp server unreachable',
             pfx('signing') + ['--timestamp', 'http://127.0.0.1:9/'], PASSWORD, None,
             # osslsigncode's own line, in each version's words, names the server
             '127.0.0.1:9/'),
            ('launcher signed already', pfx('signing') + ['--launcher', str(signed)], PASSWORD,
             None, 'signed already'),
            ('wrong PIN', token, None, '0000', 'refused the PIN'),
            ('no PIN', token, None, None, 'no PIN'),
            ('no such key on the token', ['--sign-token', TOKEN_KEY.replace('publisher', 'x')] +
             token[2:], None, PIN, 'no such key'),
            ('module missing', token[:4] + ['--pkcs11-module', '/nothere.so'], None, PIN,
             'is not a file'),
            ('certificate file without a certificate', token[:2] + ['--sign-cert',
                                                                    str(self.playlist)] +
             token[4:], None, PIN, 'holds no PEM certificate'),
        ]
        for name, args, password, pin, message in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                result = make_disc(installer, str(self.playlist), 'disc', *args, cwd=self.dir,
                                   password=password, pin=pin)
                output = result.stdout + result.stderr
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn('refused', result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1)
                for secret in (PASSWORD, PIN, 'k\\xe4y', '\\udce4', 'y-secret', 'position'):
                    self.assertNotIn(secret, output)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), before)


if __name__ == '__main__':
    unittest.main()
