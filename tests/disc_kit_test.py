#!/usr/bin/env python3
"""The disc kit: a sound disc from sound inputs, a signed launcher that
verifies, and a clear refusal that leaves nothing behind for each bad one.
Usage: disc_kit_test.py BUILD_DIR"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KIT = ROOT / 'scripts' / 'make-disc'
BUILD = (Path(sys.argv.pop(1)) if len(sys.argv) > 1 else ROOT / 'build' / 'win32').resolve()
PASSWORD = 'kit-test-secret'
sys.path.insert(0, str(ROOT / 'tests'))
import throwaway_certificates  # noqa: E402


def make_disc(*args, cwd, password=None):
    env = {k: v for k, v in os.environ.items() if k != 'ORVANE_SIGN_PASSWORD'}
    if password is not None:
        env['ORVANE_SIGN_PASSWORD'] = password
    return subprocess.run([sys.executable, str(KIT), *args,
                           '--launcher', str(BUILD / 'OrvaneCD.exe')],
                          cwd=cwd, capture_output=True, text=True, env=env)


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
        label = 'SUMMER MIX VOL 3'  # 16 characters: as many as Windows shows
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
                              b'action=Play the playlist with Orvane\r\nlabel=SUMMER MIX VOL 3\r\n')
        self.assertEqual(volume_labels(self.dir / 'out/disc.iso'), (label, label))
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
        # Sparse: larger than a 74-minute CD, with nothing written.
        with open(self.dir / 'huge.exe', 'wb') as huge:
            huge.truncate(700 * 1000 * 1000)
        cases = [
            ('missing installer', ['nothere.exe', str(self.playlist), 'disc'], 'cannot be read'),
            ('missing playlist', [str(BUILD / 'e2e_installer_1_3.exe'), 'nothere.p4u', 'disc'],
             'cannot be read'),
            ('installer that is text', [str(self.playlist), str(self.playlist), 'disc'],
             'not a Windows executable'),
            ('installer that is a DLL', [str(BUILD / 'e2e_planted.dll'), str(self.playlist),
                                         'disc'], 'not a Windows executable'),
            ('output exists', [str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                               'taken'], 'already exists'),
            ('label longer than Joliet holds', [str(BUILD / 'e2e_installer_1_3.exe'),
                                                str(self.playlist), 'disc', '--label', 'X' * 17],
             'label'),
            ('image over the medium', [str(self.dir / 'huge.exe'), str(self.playlist), 'disc',
                                       '--media', 'cd74'], 'more than a cd74 holds (681,984,000'),
            ('unknown medium', [str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist), 'disc',
                                '--media', 'bluray'], 'medium'),
            ('action too long', [str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                                 'disc', '--action', 'X' * 101], 'action'),
            ('action not ASCII', [str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                                  'disc', '--action', 'Play with Orvane\u2122'], 'action'),
        ]
        for name, args, message in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                result = make_disc(*args, cwd=self.dir)
                self.assertEqual(result.returncode, 1)
                self.assertIn('refused', result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), before)

    def test_signed_launcher_verifies_and_a_flipped_byte_does_not(self):
        password_file = self.dir / 'password.txt'
        password_file.write_text(PASSWORD + '\n')
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
