#!/usr/bin/env python3
"""End-to-end runs of the launcher under Wine: a read-only disc in drive E: of
type CD-ROM, a real registry, the stand-in installer and player, real message
boxes under Xvfb answered with xdotool.

  e2e.py list TIER                 scenario names for TIER, one a line
  e2e.py setup TIER                build the fixtures, make the prefix (kept
                                   between runs) and the discs
  e2e.py run TIER SCENARIO         one scenario; exit status 0 when it passed
  e2e.py screenshots               save both prompts as PNG files under docs/
  e2e.py teardown TIER             end every process the tier started

TIER is win32 (the shipped PE32, under the 32-bit loader) or win64 (PE32+).
The packages come from `scripts/setup test`.
  machine.py     prefix, display, wineserver, drive E:, registry import and export
  scenarios.py   the scenario table and the discs
  run.py         one run and its checks
  screenshots.py the prompts as pictures
"""
import sys

import run
import screenshots
from machine import ROOT, Tier
from scenarios import INSTALLED_FOLDERS, find, make_discs, scenarios_for


def setup(tier):
    tier.setup(make_discs, INSTALLED_FOLDERS)


def main(argv):
    command, args = (argv[1], argv[2:]) if len(argv) > 1 else ('', [])
    if command == 'list' and len(args) == 1:
        print('\n'.join(s.name for s in scenarios_for(args[0])))
        return 0
    if command == 'setup' and len(args) == 1:
        setup(Tier(args[0]))
        return 0
    if command == 'run' and len(args) == 2:
        return run.run(Tier(args[0]), find(args[1]))
    if command == 'screenshots' and not args:
        tier = Tier('win64')
        setup(tier)
        screenshots.take(tier, ROOT / 'docs')
        return 0
    if command == 'teardown' and len(args) == 1:
        Tier(args[0]).teardown()
        return 0
    print(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
