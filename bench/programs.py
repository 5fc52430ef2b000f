"""The programs the launcher is measured against, built for the benchmark
(bench/run) and for the conformance bundle's --bench: a program with the
launcher's resources that only starts the player (or only exits), and the
same launcher as an NSIS script; and the one writer of docs/BENCHMARKS.md,
whose sections belong to one benchmark script each."""
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / 'build' / 'bench'
FLAGS = ['-Os', '-s', '-nostdlib', '-fno-asynchronous-unwind-tables', '-fno-ident',
         '-Wl,--no-insert-timestamp', '-Wl,--dynamicbase', '-Wl,--nxcompat', '-Wl,--tsaware',
         '-mwindows']
TRIPLETS = {'win32': ('i686-w64-mingw32', '_WinMainCRTStartup'),
            'win64': ('x86_64-w64-mingw32', 'WinMainCRTStartup')}


def run(args, **kwargs):
    return subprocess.run(args, check=True, **kwargs)


def build_small(source, name, arch):
    triplet, entry = TRIPLETS[arch]
    OUT.mkdir(parents=True, exist_ok=True)
    icon = OUT / ('%s-icon.o' % triplet)
    sources = [ROOT / 'resources' / name for name in ('launcher.rc', 'launcher.manifest',
                                                       'launcher.ico')]
    if not icon.exists() or any(s.stat().st_mtime > icon.stat().st_mtime for s in sources):
        run(['%s-windres' % triplet, str(ROOT / 'resources' / 'launcher.rc'), '-o', str(icon)],
            cwd=ROOT / 'resources')
    target = OUT / name
    run(['%s-g++' % triplet] + FLAGS + ['-Wl,-e,' + entry, str(ROOT / 'bench' / source),
                                        str(icon), '-lkernel32', '-o', str(target)])
    return target


def build_nsis():
    if shutil.which('makensis') is None:
        raise SystemExit('bench: makensis is missing: run scripts/setup')
    OUT.mkdir(parents=True, exist_ok=True)
    target = OUT / 'launcher-nsis.exe'
    run(['makensis', '-V1', '-DOUTFILE=%s' % target, str(ROOT / 'bench' / 'launcher.nsi')],
        stdout=subprocess.DEVNULL)
    return target


BENCHMARKS = ROOT / 'docs' / 'BENCHMARKS.md'


def write_section(heading, body):
    """Rewrites the section `## heading` of docs/BENCHMARKS.md, keeping the
    others in their order (a new one goes last)."""
    text = BENCHMARKS.read_text() if BENCHMARKS.exists() else '# Benchmarks\n'
    parts = text.split('\n## ')
    section = '%s\n\n%s\n' % (heading, body.strip('\n'))
    for i, part in enumerate(parts[1:], 1):
        if part.split('\n', 1)[0] == heading:
            parts[i] = section
            break
    else:
        parts.append(section)
    BENCHMARKS.write_text('\n## '.join(part.rstrip('\n') + '\n' for part in parts))
