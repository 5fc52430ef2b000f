#!/usr/bin/env python3
"""End-to-end runs of the launcher under Wine, through the conformance program
(conformance/, the same program a person runs on Windows): this side
keeps only what Linux alone can do. Each tier has a prefix, an Xvfb display,
drive E: of type CD-ROM over a folder the program lays each disc out in, and a
copy of build/conformance; around every run it checks that nothing in the
prefix's drive C: changed.

  e2e.py list [TIER]               scenario names, one a line: the tier's
  e2e.py setup TIER                make the prefix (kept between runs) and drive E:
  e2e.py run TIER SCENARIO         one scenario; exit status 0 passed, 77 skipped
  e2e.py screenshots               save both prompts as PNG files under docs/
  e2e.py teardown TIER             end every process the tier started
  e2e.py second-wine               the whole table, as a person runs it, under
                                   the Wine of the other Debian release's root
                                   (scripts/wine-root); 0 failed required

TIER is win32 (the shipped PE32), win64 (the PE32+), win32ja (the PE32
under a Japanese locale, so code page 932: the scenarios whose outcome depends
on the code page; in win32's prefix, set up and torn down with it), or
win32fallback and win64fallback (each build with the registry and version
functions always from ADVAPI32 and VERSION of the system folder, the route of
the Windows whose KERNEL32 and KERNELBASE lack them; in their build's prefix). The packages come from `scripts/setup test`;
build/conformance from `scripts/build`.
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path

import screenshots
from machine import ROOT, WINE32, Tier

TABLE = ROOT / 'conformance' / 'scenarios.cpp'
BUNDLE = ROOT / 'build' / 'conformance'
FALLBACK = 'e2e_launcher_system_folder_routes.exe'
LAUNCHERS = {'win32': 'OrvaneCD.exe', 'win64': 'x64\\OrvaneCD.exe', 'win32ja': 'OrvaneCD.exe',
             'win32fallback': FALLBACK, 'win64fallback': 'x64\\' + FALLBACK}
# Runs that need a session without a display: Linux alone can give one.
WITHOUT_DISPLAY = ('no_display_box_counts_as_yes',)
# The system folder's route differs from the common one only in where the six
# registry and version functions come from: these take every one of them
# there, the registration read from each root (the user's, the machine's),
# the installer's version read, an installation with its box, its installer
# run and the registration read again, an update declined.
FALLBACK_SCENARIOS = ('registered_no_newer', 'machine_key_only', 'install_yes', 'update_no')
SKIPPED = 77


def names(tier=''):
    """All scenarios, or those a tier runs: under code page 932 the ones that
    depend on the code page or the user's language; on the system folder's
    route those that take each of its functions; under 1252 all but the double-byte ones, and
    none that a person answers (Wine shows no elevation prompt)."""
    lines = TABLE.read_text().splitlines()
    if tier == 'win32ja':
        lines = [line for line in lines if '.codePage = true' in line or '.japanesePrompts' in line]
    elif tier.endswith('fallback'):
        lines = [line for line in lines if any('"%s"' % n in line for n in FALLBACK_SCENARIOS)]
    elif tier:
        lines = [line for line in lines if '{dbcs}' not in line and '.personPresses' not in line]
    return [m.group(1) for m in map(re.compile(r'\{\.name = L"(\w+)"').search, lines) if m]


def setup(tier):
    tier.setup()
    copy = tier.dir / 'conformance'
    if copy.exists():
        shutil.rmtree(copy)
    shutil.copytree(BUNDLE, copy)
    disc = tier.dir / 'disc'
    if disc.exists():
        subprocess.run(['chmod', '-R', 'u+w', str(disc)], check=True)
        shutil.rmtree(disc)
    disc.mkdir()
    tier.point_drive_e(disc)


def run(tier, scenario):
    display = scenario not in WITHOUT_DISPLAY
    tier.set_display_mode(display)
    tier.start_wineserver()
    before = tier.snapshot_files()
    args = [WINE32, str(tier.dir / 'conformance' / 'conformance.exe'), '--only', scenario,
            '--disc', 'E:', '--launcher', LAUNCHERS[tier.arch]]
    if not display:
        args.append('--no-display')
    # Never a pipe: Wine's services started by the program outlive it.
    log = tier.records / (scenario + '.log')
    try:
        with open(log, 'wb') as out:
            result = subprocess.run(args, env=tier.env(display), stdout=out, stderr=out,
                                    timeout=240, cwd=tier.dir / 'conformance')
    except subprocess.TimeoutExpired:
        tier.stop_wineserver()
        print('e2e %s %s: FAIL the program did not end; windows on %s: %r' %
              (tier.arch, scenario, tier.display, tier.window_titles()))
        return 1
    output = log.read_bytes().decode('utf-8', errors='replace')
    print(output, end='')
    after = tier.snapshot_files()
    changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
    if changed:
        print('FAIL files changed in the prefix: %s' % changed[:5])
        return 1
    if output.rstrip().endswith('0 passed, 0 failed, 1 skipped'):
        return SKIPPED
    return result.returncode


# Inside the second Wine's root: a display, the prefix without the keys the
# program writes (a run killed earlier, by a timeout, leaves them), then the whole table for the shipped launcher, as a
# person runs the bundle. The root's processes are killed outright when its
# command ends, so the wineserver is waited for: it writes the registry out as
# it ends, and only then.
SECOND_WINE_RUN = r'''
export WINEPREFIX=/root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
       QEMU_RESERVED_VA=0x81000000 LC_ALL=C.UTF-8 DISPLAY=:95
Xvfb :95 -screen 0 1024x768x24 -nolisten tcp -nolock >/dev/null 2>&1 &
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X95 ] && break; sleep 0.1; done
for key in 'HKCU\Software\Ervast /reg:64' 'HKLM\Software\Ervast /reg:64' \
           'HKLM\Software\Ervast /reg:32' 'HKCU\Software\Wine\AppDefaults /reg:64'; do
    /usr/lib/wine/wine reg delete $key /f >/dev/null 2>&1
done
cd /work/conformance && /usr/lib/wine/wine conformance.exe --disc E: --launcher OrvaneCD.exe
code=$?
/usr/lib/wine/wineserver -w
exit $code
'''


def second_wine():
    wine_root = ROOT / 'scripts' / 'wine-root'
    root = Path(subprocess.run([wine_root, 'path'], capture_output=True, text=True,
                               check=True).stdout.strip())
    if not (root / '.orvane-wine-root').exists():
        print('e2e: no second Wine at %s: run scripts/setup test' % root)
        return 1
    # The bundle's own work folder stays: a run stopped before its end left
    # its records there, by which the next run removes what it made.
    work = root / 'work'
    shutil.copytree(BUNDLE, work / 'conformance', dirs_exist_ok=True)
    for entry in (root / 'disc').iterdir():
        entry.unlink() if entry.is_symlink() or entry.is_file() else shutil.rmtree(entry)
    described = subprocess.run([wine_root, 'describe'], capture_output=True, text=True)
    print('e2e: the whole table under %s' % described.stdout.strip())
    log = work / 'run.log'
    try:
        with open(log, 'wb') as out:
            result = subprocess.run([wine_root, 'run', 'bash', '-c', SECOND_WINE_RUN],
                                    stdout=out, stderr=out, timeout=600)
    except subprocess.TimeoutExpired:
        print('e2e: FAIL the run under the second Wine did not end in 600 s')
        return 1
    output = log.read_bytes().decode('utf-8', errors='replace')
    print(output, end='')
    if result.returncode != 0 or not re.search(r'^\d+ passed, 0 failed', output, re.M):
        print('e2e: FAIL under the second Wine (exit %d)' % result.returncode)
        return 1
    left = [hive.name for hive in (root / 'root' / 'prefix').glob('*.reg')
            if re.search(r'\\\\Ervast\b|AppDefaults\\\\', hive.read_text(errors='replace'))]
    if left:
        print('e2e: FAIL keys the program wrote are left in %s' % ', '.join(left))
        return 1
    return 0


def main(argv):
    command, args = (argv[1], argv[2:]) if len(argv) > 1 else ('', [])
    if command == '--help':
        print(__doc__)
        return 0
    if command == 'list' and len(args) <= 1:
        print('\n'.join(names(*args)))
        return 0
    if command == 'setup' and len(args) == 1:
        setup(Tier(args[0]))
        return 0
    if command == 'run' and len(args) == 2 and args[1] in names():
        return run(Tier(args[0]), args[1])
    if command == 'screenshots' and not args:
        tier = Tier('win64')
        tier.setup()
        screenshots.take(tier, ROOT / 'docs')
        return 0
    if command == 'second-wine' and not args:
        return second_wine()
    if command == 'teardown' and len(args) == 1:
        Tier(args[0]).teardown()
        return 0
    print(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
