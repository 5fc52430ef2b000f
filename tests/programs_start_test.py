#!/usr/bin/env python3
"""Every program and script of the repository starts: its --help answers with
exit 0 (a module moved from under one fails here, not in a maker's hands).
Usage: programs_start_test.py"""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = ['kit/make-disc', 'bench/run', 'bench/kit', 'scripts/make-conformance',
            'scripts/demo_track.py', 'scripts/setup', 'scripts/build', 'scripts/test',
            'scripts/fuzz', 'scripts/wine-root', 'tests/e2e/e2e.py', 'tests/e2e/repeat',
            'tests/pe_check.py', 'tests/fuzz/fuzz_disc_check.py', 'tests/docs_paths_test.py',
            'cmake/readonly_section.py',
            'resources/make_icon.py']


def main():
    failed = 0
    for program in PROGRAMS:
        command = [sys.executable] * program.endswith('.py') + [str(ROOT / program), '--help']
        result = subprocess.run(command, capture_output=True, text=True, timeout=60)
        if result.returncode != 0 or not result.stdout.strip():
            failed += 1
            print('FAIL %s --help: exit %d: %s' % (program, result.returncode,
                                                   (result.stderr.strip().splitlines() or
                                                    ['nothing printed'])[-1]))
    print('%d passed, %d failed' % (len(PROGRAMS) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
