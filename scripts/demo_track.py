#!/usr/bin/env python3
"""Writes the demo disc's track: two seconds of a soft 440 Hz tone with a fade
in and out, as a WAV file any player plays; the same bytes every time.
Usage: demo_track.py PATH"""
import math
import struct
import sys
import wave

RATE = 22050
SECONDS = 2
FADE = RATE // 10


def sample(i):
    envelope = min(1.0, i / FADE, (RATE * SECONDS - i) / FADE)
    return int(8000 * envelope * math.sin(2 * math.pi * 440 * i / RATE))


def main(path):
    with wave.open(path, 'wb') as track:
        track.setnchannels(1)
        track.setsampwidth(2)
        track.setframerate(RATE)
        track.writeframes(b''.join(struct.pack('<h', sample(i)) for i in range(RATE * SECONDS)))


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    main(sys.argv[1])
