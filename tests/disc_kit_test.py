#!/usr/bin/env python3
"""The disc kit: a sound disc from sound inputs, and a clear refusal that
leaves nothing behind for each bad one. Usage: disc_kit_test.py BUILD_DIR"""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KIT = ROOT / 'scripts' / 'make-disc'
BUILD = (Path(sys.argv.pop(1)) if len(sys.argv) > 1 else ROOT / 'build' / 'win32').resolve()


def make_disc(*args, cwd):
    return subprocess.run([sys.executable, str(KIT), *args,
                           '--launcher', str(BUILD / 'OrvaneCD.exe')],
                          cwd=cwd, capture_output=True, text=True)


class DiscKitTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.playlist = self.dir / 'mix.p4u'
        self.playlist.write_text('#playlist\n')

    def tearDown(self):
        subprocess.run(['rm', '-rf', str(self.dir)])

    def test_lays_out_folder_and_image_with_expected_names(self):
        result = make_disc(str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist), 'out/disc',
                           '--label', 'SUMMER MIX', cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        listing = subprocess.run(['xorriso', '-indev', str(self.dir / 'out/disc.iso'),
                                  '-find', '/'], capture_output=True, text=True).stdout
        self.assertEqual(sorted(listing.split('\n')[:-1]), sorted([
            "'/'", "'/CDPlayList.p4u'", "'/Orvane Installer'",
            "'/Orvane Installer/ervast_orvane.exe'", "'/OrvaneCD.exe'", "'/autorun.inf'"]))
        inf = (self.dir / 'out/disc/autorun.inf').read_bytes()
        self.assertEqual(inf, b'[autorun]\r\nopen=OrvaneCD.exe\r\nicon=OrvaneCD.exe,0\r\n'
                              b'label=SUMMER MIX\r\n')
        self.assertEqual((self.dir / 'out/disc/OrvaneCD.exe').read_bytes(),
                         (BUILD / 'OrvaneCD.exe').read_bytes())
        self.assertEqual(sorted(p.name for p in (self.dir / 'out').iterdir()),
                         ['disc', 'disc.iso'])

    def test_installer_without_version_is_allowed_with_a_warning(self):
        result = make_disc(str(BUILD / 'e2e_installer_none.exe'), str(self.playlist), 'disc',
                           cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('no version information', result.stderr)

    def test_refuses_bad_input_and_leaves_nothing(self):
        (self.dir / 'taken').mkdir()
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
            ('label too long', [str(BUILD / 'e2e_installer_1_3.exe'), str(self.playlist),
                                'disc', '--label', 'X' * 33], 'label'),
        ]
        for name, args, message in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.iterdir())
                result = make_disc(*args, cwd=self.dir)
                self.assertEqual(result.returncode, 1)
                self.assertIn('refused', result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), before)


if __name__ == '__main__':
    unittest.main()
