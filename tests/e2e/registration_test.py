#!/usr/bin/env python3
"""The conformance program leaves a real registration of the player as it found
it. The player's key, under the current user and in the machine's 32-bit view,
is seeded with values of every awkward kind; the program is run normally, with
an empty and with a cut saved copy of an earlier run (both refused, the copy
kept), and killed while a scenario runs and then run again. The key's export
after each row must equal the one before, byte for byte.
Usage: registration_test.py TIER (its prefix set up by e2e.py setup)"""
import subprocess
import sys
import time

from machine import WINE32, Tier

KEYS = (r'HKEY_CURRENT_USER\Software\Ervast',
        r'HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast')
LAUNCHERS = {'win32': 'OrvaneCD.exe', 'win64': 'x64\\OrvaneCD.exe'}
LARGE = 1100 * 1024  # above the 1 MiB a fixed buffer would hold


def hex_bytes(data):
    """A .reg file's hex list, folded as regedit writes it."""
    lines = [','.join('%02x' % b for b in data[i:i + 25]) for i in range(0, len(data), 25)]
    return ',\\\r\n  '.join(lines)


def utf16(text, terminated=True):
    return (text + ('\0' if terminated else '')).encode('utf-16-le')


def seed_lines():
    values = [
        '@="the default value"',
        '"AppDir"=hex(1):' + hex_bytes(utf16('C:\\Unterminated', terminated=False)),
        '"Multi"=hex(7):' + hex_bytes(utf16('one\0two\0')),
        '"Expand"=hex(2):' + hex_bytes(utf16('%TEMP%\\x')),
        '"Quad"=hex(b):' + hex_bytes(bytes(range(1, 9))),
        '"Large"=hex:' + hex_bytes(bytes(i % 251 for i in range(LARGE))),
        '"AfterLarge"=dword:00000007',
        '"NoData"=hex(0):',
    ]
    lines = ['Windows Registry Editor Version 5.00', '']
    for key in KEYS:
        lines += ['[-%s]' % key, '', '[%s\\Orvane]' % key] + values + \
                 ['', '[%s\\Orvane\\Empty]' % key, '']
    return lines


class Machine:
    def __init__(self, arch):
        self.tier = Tier(arch)
        self.arch = arch
        self.bundle = self.tier.dir / 'conformance'
        self.saved = self.bundle / 'work' / 'saved-registration.bin'
        self.files = self.tier.records / 'registration'
        self.files.mkdir(parents=True, exist_ok=True)

    def regedit(self, *args):
        self.tier.wine(['regedit'] + list(args), check=True)

    def seed(self):
        reg = self.files / 'seed.reg'
        reg.write_bytes('\r\n'.join(seed_lines()).encode('utf-16'))
        self.regedit('/S', 'Z:' + str(reg).replace('/', '\\'))

    def export(self):
        exported = b''
        for index, key in enumerate(KEYS):
            out = self.files / ('export-%d.reg' % index)
            out.unlink(missing_ok=True)
            # An absent key exports no file.
            self.tier.wine(['regedit', '/E', 'Z:' + str(out).replace('/', '\\'), key])
            exported += out.read_bytes() if out.exists() else b'(no %s)' % key.encode()
        return exported

    def start(self, scenario):
        log = open(self.files / ('%s.log' % scenario), 'wb')
        args = [WINE32, str(self.bundle / 'conformance.exe'), '--only', scenario,
                '--disc', 'E:', '--launcher', LAUNCHERS[self.arch]]
        return subprocess.Popen(args, env=self.tier.env(True), stdout=log, stderr=log,
                                cwd=self.bundle), log

    def run(self, scenario='registered_no_newer'):
        process, log = self.start(scenario)
        code = process.wait(timeout=240)
        log.close()
        return code, (self.files / ('%s.log' % scenario)).read_text(errors='replace')

    def kill_while_box_is_shown(self):
        """Killed outright (as by Task Manager) while the launcher asks: the
        test registration is in the registry, the real one only saved."""
        process, log = self.start('update_no')
        for _ in range(600):
            if self.tier.xdotool(['search', '--name', 'Orvane PlayList CD']).stdout.strip():
                break
            time.sleep(0.1)
        process.kill()
        process.wait()
        log.close()
        # The launcher and its box go with the program's job.
        for _ in range(100):
            if not self.tier.xdotool(['search', '--name', 'Orvane PlayList CD']).stdout.strip():
                return
            time.sleep(0.1)


def cut_copy(machine):
    machine.kill_while_box_is_shown()
    data = machine.saved.read_bytes()
    machine.seed()  # the registry as it was; only the copy is cut
    machine.saved.write_bytes(data[:len(data) // 2])


def killed_then_run_again(machine):
    machine.kill_while_box_is_shown()
    assert machine.saved.exists(), 'no saved copy while the scenario ran'


# name, what is done before the run, the run's exit code, a text it prints,
# whether the saved copy must be there after it, unchanged
ROWS = [
    ('a normal run', None, 0, '1 passed, 0 failed', False),
    ('an empty saved copy', lambda m: m.saved.write_bytes(b''), 2, 'is kept', True),
    ('a cut saved copy', cut_copy, 2, 'is kept', True),
    ('killed while a scenario runs, then run again', killed_then_run_again, 0,
     'its saved registration is put back', False),
]


def main():
    machine = Machine(sys.argv[1])
    machine.tier.set_display_mode(True)
    machine.tier.start_wineserver()
    failures = []
    for name, prepare, exit_code, text, kept in ROWS:
        machine.saved.unlink(missing_ok=True)
        machine.seed()
        before = machine.export()
        if prepare:
            prepare(machine)
        copy = machine.saved.read_bytes() if machine.saved.exists() else None
        code, output = machine.run()
        after = machine.export()
        problems = []
        if code != exit_code or text not in output:
            problems.append('exit %d, printed %r' % (code, output.strip().splitlines()[-3:]))
        if after != before:
            problems.append('the key differs from before (%d bytes exported, %d before)' %
                            (len(after), len(before)))
        now = machine.saved.read_bytes() if machine.saved.exists() else None
        if kept and now != copy:
            problems.append('the saved copy was not kept as it was')
        if not kept and now is not None:
            problems.append('a saved copy is left')
        print('%s %s%s' % ('FAIL' if problems else 'ok  ', name,
                           ': ' + '; '.join(problems) if problems else ''))
        failures += problems
    machine.saved.unlink(missing_ok=True)
    reg = machine.files / 'remove.reg'
    reg.write_text('Windows Registry Editor Version 5.00\r\n\r\n' +
                   ''.join('[-%s]\r\n' % key for key in KEYS))
    machine.regedit('/S', 'Z:' + str(reg).replace('/', '\\'))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
