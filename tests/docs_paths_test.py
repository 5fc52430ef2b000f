#!/usr/bin/env python3
"""Every path the front door and the manuals name exists: each backticked path
of README.md, kit/README.md and docs/*.md that begins in one of the
repository's folders (its first word, for a command), and each relative
link's target. A path under build/ is what scripts/build makes.
Usage: docs_paths_test.py"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / 'README.md', ROOT / 'kit' / 'README.md'] + sorted((ROOT / 'docs').glob('*.md'))
FOLDERS = ('launch', 'probes', 'actions', 'platform', 'resources', 'kit', 'conformance',
           'tests', 'bench', 'scripts', 'docs', 'cmake', 'build', '.ci')
NAMED = re.compile(r'`((?:%s)/[^`\s]*)' % '|'.join(re.escape(f) for f in FOLDERS))
LINKED = re.compile(r'\]\(([^)#\s]+)\)')


def missing(page):
    text = page.read_text()
    named = [ROOT / path.rstrip('/.,') for path in NAMED.findall(text)]
    linked = [page.parent / target for target in LINKED.findall(text)
              if not re.match(r'^[a-z]+:', target)]
    return [str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)
            for path in named + linked if not path.exists()]


def main():
    failed = 0
    for page in PAGES:
        for path in missing(page):
            print('%s names %s, which does not exist' % (page.relative_to(ROOT), path))
            failed += 1
    print('%d pages, %d paths missing' % (len(PAGES), failed))
    return 1 if failed else 0


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    sys.exit(main())
