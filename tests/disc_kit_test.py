#!/usr/bin/env python3
"""The disc kit: a sound disc from sound inputs, a signed launcher that
verifies, and a clear refusal that leaves nothing behind for each bad one.
Usage: disc_kit_test.py BUILD_DIR"""
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KIT = ROOT / 'scripts' / 'make-disc'
BUILD = (Path(sys.argv.pop(1)) if len(sys.argv) > 1 else ROOT / 'build' / 'win32').resolve()
PASSWORD = 'kit-test-secret'
sys.path.insert(0, str(ROOT / 'tests'))
import throwaway_certificates  # noqa: E402


def make_disc(*args, cwd, password=None, file_size_limit=None):
    env = {k: v for k, v in os.environ.items() if k != 'ORVANE_SIGN_PASSWORD'}
    if password is not None:
        env['ORVANE_SIGN_PASSWORD'] = password
    launcher = [] if '--launcher' in args else ['--launcher', str(BUILD / 'OrvaneCD.exe')]
    limit = None if file_size_limit is None else (
        lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit)))
    return subprocess.run([sys.executable, str(KIT), *args, *launcher], cwd=cwd,
                          capture_output=True, text=True, env=env, preexec_fn=limit)


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
    for _ in range(3000):
        if any(p.name.startswith('.') for p in folder.iterdir()) or kit.poll() is not None:
            return
        time.sleep(0.01)


def verifies(launcher, ca):
    return subprocess.run(['osslsigncode', 'verify', '-CAfile', str(ca), '-in', str(launcher)],
                          capture_output=True).returncode == 0


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


class DiscKitTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs_dir = Path(tempfile.mkdtemp())
        cls.certs = throwaway_certificates.make(cls.certs_dir, PASSWORD)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs_dir)

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.playlist = self.dir / 'mix.p4u'
        self.playlist.write_text('#playlist\n')

    def tearDown(self):
        subprocess.run(['rm', '-rf', str(self.dir)])

    def test_lays_out_folder_and_image_with_expected_names(self):
        label = 'Summer Mix*Vol 3'  # 16 characters: as many as Windows shows
        result = make_disc(str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist), 'out/disc',
                           '--label', label, cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        listing = subprocess.run(['xorriso', '-indev', str(self.dir / 'out/disc.iso'),
                                  '-find', '/'], capture_output=True, text=True).stdout
        self.assertEqual(sorted(listing.split('\n')[:-1]), sorted([
            "'/'", "'/CDPlayList.p4u'", "'/Orvane Installer'",
            "'/Orvane Installer/ervast_orvane.exe'", "'/OrvaneCD.exe'", "'/autorun.inf'"]))
        inf = (self.dir / 'out/disc/autorun.inf').read_bytes()
        self.assertEqual(inf, b'[autorun]\r\nopen=OrvaneCD.exe\r\nicon=OrvaneCD.exe,0\r\n'
                              b'action=Play the playlist with Orvane\r\nlabel=Summer Mix*Vol 3\r\n')
        # Windows shows the Joliet label; ISO 9660's takes d-characters only.
        self.assertEqual(volume_labels(self.dir / 'out/disc.iso'), ('SUMMER_MIX_VOL_3', label))
        self.assertEqual(subprocess.run(['sha256sum', '-c', 'disc.iso.sha256'],
                                        cwd=self.dir / 'out', capture_output=True).returncode, 0)
        self.assertEqual((self.dir / 'out/disc/OrvaneCD.exe').read_bytes(),
                         (BUILD / 'OrvaneCD.exe').read_bytes())
        self.assertEqual(sorted(p.name for p in (self.dir / 'out').iterdir()),
                         ['disc', 'disc.iso', 'disc.iso.sha256'])

    def test_installer_without_version_is_allowed_with_a_warning(self):
        result = make_disc(str(BUILD / 'e2e_installer_none.exe'), str(self.playlist), 'disc',
                           cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('no version information', result.stderr)

    def test_refuses_bad_input_and_leaves_nothing(self):
        (self.dir / 'taken').mkdir()
        os.mkfifo(self.dir / 'pipe.p4u')
        installer = str(BUILD / 'e2e_installer_1_3.exe')
        cut = self.dir / 'cut.exe'
        cut.write_bytes((BUILD / 'e2e_installer_1_3.exe').read_bytes()[:17000])
        # Sparse installers: larger than a 74-minute CD, and 4 GiB, with nothing written.
        huge = sparse_installer(self.dir / 'huge.exe', 700 * 1000 * 1000)
        four_gib = sparse_installer(self.dir / 'four.exe', 4 * 1024 ** 3)
        grown = sparse_installer(self.dir / 'grown.exe', 8 * 1024 * 1024)
        playlist = str(self.playlist)
        cases = [
            # name, arguments, what stderr says, the file-size limit
            ('missing installer', ['nothere.exe', playlist, 'disc'], 'cannot be read'),
            ('missing playlist', [installer, 'nothere.p4u', 'disc'], 'cannot be read'),
            ('installer that is text', [playlist, playlist, 'disc'], 'not a Windows executable'),
            ('installer that is a DLL', [str(BUILD / 'e2e_planted.dll'), playlist, 'disc'],
             'not a Windows executable'),
            ('installer cut short', [str(cut), playlist, 'disc'],
             'the installer is cut short: 17,000 bytes, its sections need 17,920'),
            ('installer that is a device', ['/dev/zero', playlist, 'disc'], 'not a regular file'),
            ('playlist that is a pipe', [installer, 'pipe.p4u', 'disc'], 'not a regular file'),
            ('installer of 4 GiB on a dual-layer DVD', [four_gib, playlist, 'disc', '--media',
                                                         'dvd-dl'], 'files below 4 GiB'),
            ('output exists', [installer, playlist, 'taken'], 'already exists'),
            ('output under a file', [installer, playlist, 'mix.p4u/disc'], 'is not a folder'),
            ('output with a line feed', [installer, playlist, 'dis\nc'], 'control character'),
            ('output beginning with -', [installer, playlist, '-disc'], 'goes after --'),
            ('label longer than Joliet holds', [installer, playlist, 'disc', '--label',
                                                'X' * 17], 'label'),
            ('label of blanks', [installer, playlist, 'disc', '--label', '   '], 'all blanks'),
            ('label beginning with a blank', [installer, playlist, 'disc', '--label', ' MIX'],
             'begins or ends with a blank'),
            ('label ending with a blank', [installer, playlist, 'disc', '--label', 'MIX '],
             'begins or ends with a blank'),
            ('image over the medium', [huge, playlist, 'disc', '--media', 'cd74'],
             'more than a cd74 holds (681,984,000'),
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
                                           'http://127.0.0.1:9/'], 'act only with --sign'),
            ('password file without signing', [installer, playlist, 'disc',
                                               '--sign-password-file', playlist],
             'act only with --sign'),
            ('a file-size limit below the installer, in folders the kit makes',
             [grown, playlist, 'new/folder/disc'], 'File too large', 4 * 1024 * 1024),
        ]
        for name, args, message, *limit in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                result = make_disc(*args, cwd=self.dir, file_size_limit=(limit or [None])[0])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertTrue(result.stderr.startswith('make-disc: '), result.stderr)
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

        cases = [
            # name, signal or what happens meanwhile, exit status, stderr, what is left
            ('SIGTERM', signal.SIGTERM, 143, 'stopped by SIGTERM', []),
            ('SIGHUP', signal.SIGHUP, 129, 'stopped by SIGHUP', []),
            ('SIGINT', signal.SIGINT, 130, 'stopped by SIGINT', []),
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
                other = meanwhile() if callable(meanwhile) else kit.send_signal(meanwhile)
                errors = {run: run.communicate()[1] for run in (kit, other) if run}
                outcomes = sorted((run.returncode, text) for run, text in errors.items())
                if other:
                    self.assertEqual(outcomes[0][0], 0, outcomes[0][1])
                code, stderr = outcomes[-1]
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

    def test_signed_launcher_verifies_and_a_flipped_byte_does_not(self):
        password_file = self.dir / 'password.txt'
        # An editor's byte-order mark is not part of the password.
        password_file.write_bytes(b'\xef\xbb\xbf' + PASSWORD.encode() + b'\n')
        for name, extra, password in (
                ('password from the environment', [], PASSWORD),
                ('password from a file', ['--sign-password-file', str(password_file)], None)):
            with self.subTest(name):
                out = self.dir / name.replace(' ', '-')
                result = make_disc(str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                                   str(out), '--sign', str(self.certs['signing']),
                                   '--action', 'Play it', *extra, cwd=self.dir,
                                   password=password)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn(PASSWORD, result.stdout + result.stderr)
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
        cases = [
            ('PKCS#12 file missing', 'nothere.pfx', PASSWORD, [], 'cannot be read'),
            ('wrong password', self.certs['signing'], 'wrong', [], 'password given'),
            ('no password', self.certs['signing'], None, [], 'no password'),
            ('no private key', self.certs['no_key'], PASSWORD, [], 'no private key'),
            ('not for code signing', self.certs['no_usage'], PASSWORD, [], 'code signing'),
            ('expired', self.certs['expired'], PASSWORD, [], 'expired'),
            ('not valid yet', self.certs['not_yet_valid'], PASSWORD, [], 'not valid before'),
            ('signer fails', self.certs['signing'], PASSWORD,
             ['--timestamp', 'http://127.0.0.1:9/'], 'signer failed'),
            ('launcher signed already', self.certs['signing'], PASSWORD,
             ['--launcher', str(signed)], 'signed already'),
        ]
        for name, pfx, password, extra, message in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                result = make_disc(installer, str(self.playlist), 'disc', '--sign', str(pfx),
                                   *extra, cwd=self.dir, password=password)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn('refused', result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1)
                self.assertNotIn(PASSWORD, result.stdout + result.stderr)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), before)


if __name__ == '__main__':
    unittest.main()
