#!/usr/bin/env python3
"""The conformance program touches only what it made. One table, each row a
situation on a person's machine and what must hold after the program ran:
a real registration of the player (values of every kind, a subkey) under the
current user, or in the machine's 32-bit view, is refused before anything is
written, and its export is the same byte for byte; a run killed while a box is
shown leaves its own marked keys, which the next run removes; a leftover key
that an installer changed since is left as it is, and the run stops; a drive
given with --disc that holds a person's file and a folder link to a folder
outside it is not touched.
Usage: registration_test.py TIER (its prefix set up by e2e.py setup)"""
import os
import shutil
import signal
import subprocess
import sys
import time

from machine import WINE32, Tier

VENDOR_KEYS = (r'HKEY_CURRENT_USER\Software\Ervast',
               r'HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast')
LAUNCHERS = {'win32': 'OrvaneCD.exe', 'win64': 'x64\\OrvaneCD.exe'}
CAPTION = 'Orvane PlayList CD'


def hex_bytes(data):
    """A .reg file's hex list."""
    return ','.join('%02x' % b for b in data)


def registration(key):
    """A real registration of every awkward kind, as an installer leaves it."""
    text = [('@="the default value"'),
            '"AppDir"=hex(1):' + hex_bytes('C:\\Unterminated'.encode('utf-16-le')),
            '"Multi"=hex(7):' + hex_bytes('one\0two\0\0'.encode('utf-16-le')),
            '"Expand"=hex(2):' + hex_bytes('%TEMP%\\x\0'.encode('utf-16-le')),
            '"Quad"=hex(b):' + hex_bytes(bytes(range(1, 9))),
            '"PlayerVersion"=dword:00010003', '"NoData"=hex(0):']
    return ['[%s\\Orvane]' % key] + text + ['', '[%s\\Orvane\\Settings]' % key,
                                           '"Volume"=dword:00000050', '']


class Machine:
    def __init__(self, arch):
        self.tier = Tier(arch)
        self.arch = arch
        self.bundle = self.tier.dir / 'conformance'
        self.disc = self.tier.dir / 'disc'
        self.files = self.tier.records / 'registration'
        self.files.mkdir(parents=True, exist_ok=True)

    def regedit(self, lines):
        reg = self.files / 'import.reg'
        reg.write_bytes('\r\n'.join(['Windows Registry Editor Version 5.00', ''] + lines +
                                    ['']).encode('utf-16'))
        self.tier.wine(['regedit', '/S', 'Z:' + str(reg).replace('/', '\\')], check=True)

    def remove_vendor_keys(self):
        self.regedit(['[-%s]' % key for key in VENDOR_KEYS])

    def export(self):
        """{vendor key: its export by reg, None when it is absent}."""
        exported = {}
        for index, key in enumerate(VENDOR_KEYS):
            out = self.files / ('export-%d.reg' % index)
            out.unlink(missing_ok=True)
            # reg, not regedit: Wine 10's regedit shows a box for a missing
            # key; reg fails at once, which is no fault to try again.
            self.tier.wine(['reg', 'export', key, 'Z:' + str(out).replace('/', '\\'), '/y'],
                           tries=1)
            exported[key] = out.read_bytes() if out.exists() else None
        return exported

    def files_of_bundle(self):
        """The bundle's files but the log, by size and time."""
        return {str(p): (p.stat().st_size, p.stat().st_mtime_ns)
                for p in self.bundle.rglob('*') if p.is_file() and p.name != 'conformance.log'}

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

    def boxes(self):
        return self.tier.xdotool(['search', '--name', CAPTION]).stdout.strip()

    def launchers(self):
        """Process ids of this tier's prefix running the launcher: command
        lines that name OrvaneCD.exe and not conformance.exe (a process the
        program forks carries its command line until it runs another)."""
        found = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open('/proc/%s/cmdline' % pid, 'rb') as cmdline:
                    line = cmdline.read()
                    if b'OrvaneCD.exe' not in line or b'conformance.exe' in line:
                        continue
                with open('/proc/%s/environ' % pid, 'rb') as environ:
                    if ('WINEPREFIX=%s' % self.tier.prefix).encode() in environ.read().split(b'\0'):
                        found.append(int(pid))
            except OSError:
                continue
        return found

    def kill_while_box_is_shown(self):
        """As `kill_once`, tried again where the kill came too late to leave
        the run's records and its key (on a loaded machine the program may
        answer its box, and begin to clear, before it is held): the row needs
        a run killed midway."""
        for _ in range(4):
            self.kill_once()
            key = (self.export()[VENDOR_KEYS[0]] or b'').decode('utf-16', errors='replace')
            # The scenario's registration, as written before the launcher started.
            if ((self.bundle / 'work' / 'registry.record').exists() and
                    '"PlayerVersion"=dword:00010002' in key and 'OrvaneConformanceRun' in key):
                return

    def kill_once(self):
        """Killed outright (as by Task Manager) while the launcher asks: the
        run's keys and disc are left, with its records. The program is held
        still once its launcher has started, so that it cannot answer the box
        before the kill."""
        earlier = set(self.launchers())  # an earlier run's, still ending
        process, log = self.start('update_no')
        for _ in range(6000):
            if set(self.launchers()) - earlier:
                break
            time.sleep(0.01)
        os.kill(process.pid, signal.SIGSTOP)
        # The box, where the launcher was let go before the hold; a launcher
        # gone has had its box answered.
        for _ in range(100):
            if self.boxes() or not set(self.launchers()) - earlier:
                break
            time.sleep(0.1)
        process.kill()
        process.wait()
        log.close()
        # On Windows the launcher goes with the program's job; Wine leaves it
        # now and then, waiting on the killed program, so it is ended here.
        for pid in self.launchers():
            os.kill(pid, signal.SIGKILL)
        for _ in range(100):
            if not self.boxes():
                break
            time.sleep(0.1)


def person_registered(key):
    def prepare(machine):
        machine.regedit(registration(key))
    return prepare


def killed(machine):
    machine.kill_while_box_is_shown()


def killed_then_changed(machine):
    machine.kill_while_box_is_shown()
    machine.regedit(['[%s\\Orvane]' % VENDOR_KEYS[0], '"PlayerVersion"=dword:00020000'])


def killed_then_record_lost(machine):
    """As a bundle unzipped anew, or an emptied %TEMP%, leaves it."""
    machine.kill_while_box_is_shown()
    for record in ('registry.record', 'disc.record'):
        (machine.bundle / 'work' / record).unlink(missing_ok=True)


def disc_with_persons_files(machine):
    """Drive E: holding a person's file and a folder link to a folder
    outside it."""
    outside = machine.tier.dir / 'outside'
    outside.mkdir(exist_ok=True)
    (outside / 'precious.txt').write_text('the person\'s')
    (machine.disc / 'mine.txt').write_text('the person\'s')
    os.symlink(outside, machine.disc / 'link')


def persons_files_intact(machine, bundle):
    return ((machine.tier.dir / 'outside' / 'precious.txt').exists() and
            (machine.disc / 'mine.txt').exists() and (machine.disc / 'link').is_symlink())


def tidy_disc(machine):
    for entry in machine.disc.iterdir():
        entry.unlink() if entry.is_symlink() or entry.is_file() else shutil.rmtree(entry)
    shutil.rmtree(machine.tier.dir / 'outside', ignore_errors=True)


def nothing_but_the_log(machine, bundle):
    return machine.files_of_bundle() == bundle


# name, what is there before the run, the run's exit code, a text it prints,
# the vendor keys whose export must be what it was before the run (the others
# must be gone after it), what else must hold
ROWS = [
    ('the player registered for the user: refused, nothing written',
     person_registered(VENDOR_KEYS[0]), 2,
     r'the Orvane player is registered here (HKEY_CURRENT_USER\Software\Ervast\Orvane)',
     VENDOR_KEYS, nothing_but_the_log),
    ('the player registered in the machine\'s 32-bit view: refused, nothing written',
     person_registered(VENDOR_KEYS[1]), 2, 'the Orvane player is registered here', VENDOR_KEYS,
     nothing_but_the_log),
    ('killed while a box is shown, then run again: its keys removed', killed, 0,
     'what it made is removed', (), None),
    ('killed, its key then changed by an installer: left as it is, the run stops',
     killed_then_changed, 2, 'does not hold what this program wrote', VENDOR_KEYS[:1], None),
    ('killed, its record then lost: named as this program\'s leftover, left as it is',
     killed_then_record_lost, 2, 'carries the mark of this program\'s run', VENDOR_KEYS, None),
    ('--disc on a drive holding a person\'s file and a folder link', disc_with_persons_files, 2,
     'is not empty', (), persons_files_intact),
]


def main():
    machine = Machine(sys.argv[1])
    machine.tier.set_display_mode(True)
    machine.tier.start_wineserver()
    failures = []
    for name, prepare, exit_code, text, kept, holds in ROWS:
        machine.remove_vendor_keys()
        prepare(machine)
        before, bundle = machine.export(), machine.files_of_bundle()
        code, output = machine.run()
        after = machine.export()
        problems = []
        if code != exit_code or text not in output:
            problems.append('exit %d, printed %r; before it: %r' % (
                code, output.strip().splitlines()[-3:],
                (before[VENDOR_KEYS[0]] or b'').decode('utf-16', errors='replace')))
        for key in VENDOR_KEYS:
            if key in kept and after[key] != before[key]:
                problems.append('%s differs from before' % key)
            if key not in kept and after[key] is not None:
                problems.append('%s is left' % key)
        if holds and not holds(machine, bundle):
            problems.append('%s does not hold' % holds.__name__.replace('_', ' '))
        print('%s %s%s' % ('FAIL' if problems else 'ok  ', name,
                           ': ' + '; '.join(problems) if problems else ''))
        failures += problems
        tidy_disc(machine)
    machine.remove_vendor_keys()
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
