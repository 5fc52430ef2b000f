"""Clears the writable flag of one section of a PE image, in place, and
recomputes the header's checksum for the changed file:
readonly_section.py IMAGE SECTION. The linker gives a section named .rsrc the
writable flag whatever its input says; nothing ever writes the resources, so
the shipped file is to have no writable section that holds data. Windows does
not check a program's checksum, but "it is recommended that all images have
valid checksums", and scanners look."""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
CHECKSUM_OFFSET = 64  # in the optional header


def checksum(data, at):
    """The PE checksum (IMAGEHLP's CheckSumMappedFile): the file's 16-bit
    words summed with their carries folded in, the checksum field counted as
    zero, plus the file's length."""
    total = 0
    padded = bytes(data) + b'\0' * (len(data) % 2)
    for (word,) in struct.iter_unpack('<H', padded):
        total += word
    total -= struct.unpack_from('<H', data, at)[0] + struct.unpack_from('<H', data, at + 2)[0]
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(path, name):
    data = bytearray(open(path, 'rb').read())
    header = struct.unpack_from('<I', data, 0x3C)[0] + 4  # the COFF header, after "PE\0\0"
    sections, optional = struct.unpack_from('<H', data, header + 2)[0], \
        struct.unpack_from('<H', data, header + 16)[0]
    table = header + 20 + optional
    for at in range(table, table + 40 * sections, 40):
        if data[at:at + 8].rstrip(b'\0') == name.encode():
            flags = struct.unpack_from('<I', data, at + 36)[0]
            struct.pack_into('<I', data, at + 36, flags & ~IMAGE_SCN_MEM_WRITE)
            field = header + 20 + CHECKSUM_OFFSET
            struct.pack_into('<I', data, field, checksum(data, field))
            open(path, 'wb').write(data)
            return 0
    print('readonly_section: no section %s in %s' % (name, path), file=sys.stderr)
    return 1


if __name__ == '__main__':
    if sys.argv[1:2] == ['--help']:
        sys.exit(print(__doc__.strip()))
    sys.exit(main(sys.argv[1], sys.argv[2]))
