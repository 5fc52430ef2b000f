"""Clears the writable flag of one section of a PE image, in place:
readonly_section.py IMAGE SECTION. The linker gives a section named .rsrc the
writable flag whatever its input says; nothing ever writes the resources, so
the shipped file is to have no writable section that holds data."""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000


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
            open(path, 'wb').write(data)
            return 0
    print('readonly_section: no section %s in %s' % (name, path), file=sys.stderr)
    return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
