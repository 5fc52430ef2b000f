#!/usr/bin/env python3
"""scripts/setup against scripted stand-ins for apt-get and dpkg-query (and
sudo and sleep), first on PATH: a mirror in mid-sync must not stop a newcomer,
and an install that cannot be done ends with one line saying why.
Needs neither root nor network."""
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

SETUP = Path(__file__).resolve().parent.parent / 'scripts' / 'setup'

# apt-get as a mirror in mid-sync answers: STUB_UPDATE=fail makes every update
# fail; STUB_INSTALL=pinned resolves only with the preferences file that ranks
# the security suite down, never resolves with none.
APT_GET = r'''#!/bin/bash
echo "$*" >>"$STUB_LOG"
case "$1" in
update)
  [ "$STUB_UPDATE" = fail ] || exit 0
  echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
  exit 100;;
install)
  for a; do
    case "$a" in Dir::Etc::Preferences=*)
      [ "$STUB_INSTALL" = pinned ] && grep -q 'Pin: release l=Debian-Security' "${a#*=}" && exit 0;;
    esac
  done
  echo "The following packages have unmet dependencies:"
  echo " libxml2:i386 : Depends: liblzma5:i386 (>= 5.1.1) but it is not going to be installed"
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100;;
esac
'''
DPKG_QUERY = ('#!/bin/bash\nfor package; do :; done\n'
              'case " $STUB_INSTALLED " in *" $package "*) printf "install ok installed";; '
              '*) exit 1;; esac\n')
PASS_THROUGH = '#!/bin/bash\nexec "$@"\n'


class SetupTest(unittest.TestCase):
    def run_setup(self, update, install):
        stubs = Path(tempfile.mkdtemp())
        self.addCleanup(subprocess.run, ['rm', '-rf', str(stubs)])
        for name, text in (('apt-get', APT_GET), ('dpkg-query', DPKG_QUERY),
                           ('sudo', PASS_THROUGH), ('sleep', '#!/bin/true\n')):
            (stubs / name).write_text(text)
            (stubs / name).chmod(0o755)
        log = stubs / 'apt-get.log'
        log.touch()
        env = dict(os.environ, PATH=f'{stubs}:{os.environ["PATH"]}', STUB_LOG=str(log),
                   STUB_UPDATE=update, STUB_INSTALL=install, STUB_INSTALLED='cmake make g++',
                   TMPDIR=str(stubs))
        result = subprocess.run(['bash', str(SETUP), 'build'], env=env, capture_output=True,
                                text=True, timeout=60)
        left = sorted(p.name for p in stubs.iterdir() if p.name.startswith('tmp'))
        return result, log.read_text().splitlines(), left

    def test_mirror_in_mid_sync(self):
        cases = [
            # update, install, exit code, parts of each stderr line, stdout, updates
            ('fail', 'pinned', 0,
             [['update failed 3 times', 'binary-i386/Packages.xz (File has unexpected size'],
              ['trying once more']],
             r'^setup: installed python3 python3-pefile .*\n$', 3),
            ('ok', 'never', 1,
             [['trying once more'],
              ['could not install python3 ', 'libxml2:i386 : Depends: liblzma5:i386']],
             r'^$', 1),
        ]
        for update, install, code, lines, stdout, updates in cases:
            with self.subTest(update=update, install=install):
                result, calls, left = self.run_setup(update, install)
                self.assertEqual(result.returncode, code, result.stderr)
                stderr = result.stderr.splitlines()
                self.assertEqual(len(stderr), len(lines), result.stderr)
                for line, parts in zip(stderr, lines):
                    for part in parts:
                        self.assertIn(part, line)
                self.assertRegex(result.stdout, stdout)
                self.assertEqual(calls.count('update -qq'), updates)
                installs = [c for c in calls if c.startswith('install')]
                self.assertEqual(len(installs), 2)
                self.assertIn('Dir::Etc::Preferences=', installs[1])
                for call in installs:
                    self.assertNotIn(' cmake ', call + ' ')  # installed: not touched
                self.assertEqual(left, [])  # the temporary preferences file is gone


if __name__ == '__main__':
    unittest.main()
