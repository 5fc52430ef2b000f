#!/usr/bin/env python3
"""Checks a built launcher as a file: machine, subsystem, imports, resources,
mitigation flags, size. Usage: pe_check.py win32|win64 PATH"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'kit'))
from pe_checks import check  # noqa: E402


def main():
    arch, path = sys.argv[1], sys.argv[2]
    try:
        results = check(arch, open(path, 'rb').read())
    except (OSError, ValueError, struct.error) as error:
        print('FAIL  %s: %s' % (path, error))
        return 1
    failed = 0
    for what, ok, detail in results:
        print('%s  %s%s' % ('ok  ' if ok else 'FAIL', what, ' (%s)' % detail if detail else ''))
        failed += not ok
    print('%d passed, %d failed' % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    sys.exit(main())
