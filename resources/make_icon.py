#!/usr/bin/env python3
"""Draws the launcher's icon: a silver disc with a blue note on it, at 16 and
32 pixels, each in 16 and in 256 colours (4 and 8 bits a pixel). Writes launcher.ico beside itself.
Deterministic: the same script gives the same bytes."""
import math
import os
import struct
import sys

VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    colours = list(VGA16)
    for i in range(64):  # silver ramp for the disc
        v = 112 + i * 2
        colours.append((v, v, min(255, v + 8)))
    for i in range(32):  # blue ramp for the note
        colours.append((10 + i * 2, 40 + i * 4, 120 + i * 4))
    # Only the colours used are stored (biClrUsed): the images are still 8 bits
    # a pixel, and the file is a kilobyte smaller.
    return colours


def note_mask(x, y, size):
    """True where the note lies, in a 0..1 square."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    head = ((u - 0.40) / 0.13) ** 2 + ((v - 0.70) / 0.10) ** 2 <= 1.0
    stem = 0.48 <= u <= 0.53 + 0.5 / size and 0.25 <= v <= 0.70
    flag = 0.50 <= u <= 0.70 and 0.25 <= v <= 0.25 + (0.70 - u) * 0.8 and v <= 0.40
    return head or stem or flag


def draw(size, bits):
    """Returns rows (top first) of palette indices and of transparency."""
    c = (size - 1) / 2.0
    outer, hole = size / 2.0 - 0.2, size * 0.09
    rows, masks = [], []
    for y in range(size):
        row, mask = [], []
        for x in range(size):
            r = math.hypot(x - c, y - c)
            if r > outer or r < hole:
                row.append(0)
                mask.append(1)
                continue
            mask.append(0)
            if note_mask(x, y, size):
                row.append(12 if bits == 4 else 16 + 64 + int(31 * y / size))
            elif r > outer - 1.0 or r < hole + 1.0:
                row.append(8)
            elif bits == 4:
                row.append(15 if (x + size - y) % 7 == 0 else 7)
            else:
                shade = (math.sin(math.atan2(y - c, x - c) * 3) + 1) / 2
                row.append(16 + int(20 + 43 * shade))
        rows.append(row)
        masks.append(mask)
    return rows, masks


def pack_bits(values, bits):
    out = bytearray()
    per_byte = 8 // bits
    for i in range(0, len(values), per_byte):
        byte = 0
        for j, v in enumerate(values[i:i + per_byte]):
            byte |= v << (8 - bits * (j + 1))
        out.append(byte)
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def image(size, bits):
    rows, masks = draw(size, bits)
    colours = VGA16 if bits == 4 else palette256()
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         len(colours), 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in colours)
    xor = b''.join(pack_bits(row, bits) for row in reversed(rows))
    and_mask = b''.join(pack_bits(m, 1) for m in reversed(masks))
    return header + palette + xor + and_mask


def main():
    entries = [(16, 4), (32, 4), (16, 8), (32, 8)]
    images = [image(size, bits) for size, bits in entries]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), data in zip(entries, images):
        out += struct.pack('<BBBBHHII', size, size, 16 if bits == 4 else 0, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    out += b''.join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'launcher.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    main()
