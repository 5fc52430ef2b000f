#!/usr/bin/env python3
"""Feeds make-disc check's reader mutated disc images for a bounded time:
bytes changed in the volume descriptors, path tables and folders, numbers
made absurd, images cut short. Each must come out as a report or as
Unreadable, within 5 seconds and 1 GiB; an input that does otherwise is kept
in build/fuzz/disc_check/ and the run fails.
Usage: fuzz_disc_check.py IMAGE [SECONDS]"""
import random
import resource
import signal
import sys
import tempfile
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / 'kit'))
import disc_check  # noqa: E402
from disc_reader import Unreadable  # noqa: E402

BLOCK = 2048


class TooLong(Exception):
    pass


def on_alarm(signum, frame):
    raise TooLong()


def mutate(seed, rng):
    """The image with a few of its structures' bytes changed."""
    data = bytearray(seed)
    for _ in range(rng.randint(1, 8)):
        if len(data) <= 16 * BLOCK:
            break
        at = rng.randrange(16 * BLOCK, min(len(data), 40 * BLOCK))
        how = rng.random()
        if how < 0.4:
            data[at] = rng.randrange(256)
        elif how < 0.8 and at + 4 <= len(data):
            data[at:at + 4] = rng.choice([b'\xff\xff\xff\xff', b'\x00\x00\x00\x00',
                                          rng.randbytes(4), data[at - 8:at - 4]])
        else:
            del data[rng.randrange(16 * BLOCK, len(data)):]
    return bytes(data)


def main():
    seed = Path(sys.argv[1]).read_bytes()
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    signal.signal(signal.SIGALRM, on_alarm)
    rng, runs, kept = random.Random(), 0, ROOT / 'build' / 'fuzz' / 'disc_check'
    ends = time.monotonic() + seconds
    with tempfile.NamedTemporaryFile(suffix='.iso') as image:
        while time.monotonic() < ends:
            data = mutate(seed, rng)
            image.seek(0)
            image.truncate()
            image.write(data)
            image.flush()
            runs += 1
            signal.alarm(5)
            try:
                disc_check.check(image.name, layout_only=runs % 2 == 0)
            except Unreadable:
                pass
            except BaseException as failure:
                signal.alarm(0)
                kept.mkdir(parents=True, exist_ok=True)
                (kept / ('input-%d.iso' % runs)).write_bytes(data)
                print('fuzz_disc_check: input %d (kept in %s): %s' % (
                    runs, kept, 'took over 5 s' if isinstance(failure, TooLong)
                    else traceback.format_exc()))
                return 1
            signal.alarm(0)
    print('fuzz_disc_check: %d inputs, each a report or unreadable' % runs)
    return 0


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    sys.exit(main())
