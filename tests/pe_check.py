#!/usr/bin/env python3
"""Checks a built launcher as a file: machine, subsystem, imports, resources,
mitigation flags, size. Usage: pe_check.py win32|win64 PATH"""
import struct
import sys

SIZE_BUDGET_WIN32 = 12288
ALLOWED_DLLS = {'kernel32.dll', 'user32.dll', 'advapi32.dll', 'msvcrt.dll'}
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION = 3, 6, 14, 16
DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x8000
EXPECTED_ICONS = [(16, 4), (32, 4), (16, 8), (32, 8)]


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from('<H', data, opt)[0]
        plus = self.magic == 0x20B
        self.file_alignment = struct.unpack_from('<I', data, opt + 36)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from('<HH', data, opt + 68)
        dirs = opt + (112 if plus else 96)
        self.directories = [struct.unpack_from('<II', data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode(), va, max(vsize, raw_size), raw))
        self.plus = plus

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError('address outside every section: %#x' % rva)

    def text_at(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b'\0', start)].decode('latin-1')

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names, at = [], self.offset(rva)
        while True:
            entry = struct.unpack_from('<5I', self.data, at)
            if not any(entry):
                return names
            names.append(self.text_at(entry[3]))
            at += 20

    def resources(self):
        """Yields (type, name, language, data) for every resource."""
        base_rva, _ = self.directories[2]
        if not base_rva:
            return
        base = self.offset(base_rva)

        def entries(at):
            named, ids = struct.unpack_from('<HH', self.data, at + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from('<II', self.data, at + 16 + 8 * i)
                yield ident, target

        for rtype, t in entries(base):
            for name, n in entries(base + (t & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (n & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from('<II', self.data, base + leaf)
                    start = self.offset(data_rva)
                    yield rtype, name, lang, self.data[start:start + size]


def check(arch, path):
    data = open(path, 'rb').read()
    pe = Pe(data)
    results = []

    def expect(what, ok, detail=''):
        results.append((what, ok, detail))

    machine, magic = (0x14C, 0x10B) if arch == 'win32' else (0x8664, 0x20B)
    expect('machine', pe.machine == machine and pe.magic == magic,
           'machine %#x magic %#x' % (pe.machine, pe.magic))
    expect('subsystem is Windows GUI', pe.subsystem == 2, str(pe.subsystem))
    expect('no timestamp (reproducible)', pe.timestamp == 0, hex(pe.timestamp))
    expect('512-byte file alignment', pe.file_alignment == 512, str(pe.file_alignment))

    dlls = [d.lower() for d in pe.imported_dlls()]
    expect('imports only system DLLs', set(dlls) <= ALLOWED_DLLS, ', '.join(dlls))
    expect('VERSION and SHELL32 not imported',
           'version.dll' not in dlls and 'shell32.dll' not in dlls, ', '.join(dlls))

    flags = pe.dll_characteristics
    expect('ASLR, DEP and terminal-server-aware flags',
           flags & (DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE) ==
           DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE, hex(flags))
    # x86 code holds absolute addresses and must carry their fixups; x64 code
    # here is all RIP-relative, so only the stripped flag must stay clear.
    reloc_rva, reloc_size = pe.directories[5]
    expect('relocations not stripped', not pe.characteristics & 0x0001,
           hex(pe.characteristics))
    if arch == 'win32':
        expect('relocation section kept', reloc_rva != 0 and reloc_size > 0,
               'size %d' % reloc_size)

    resources = list(pe.resources())
    types = sorted({r[0] for r in resources})
    expect('only icon resources', types == [RT_ICON, RT_GROUP_ICON], str(types))
    expect('no version resource, no string table',
           not any(r[0] in (RT_VERSION, RT_STRING) for r in resources))
    groups = [r for r in resources if r[0] == RT_GROUP_ICON]
    expect('one icon group 101, English (United States)',
           [(g[1], g[2]) for g in groups] == [(101, 0x0409)],
           str([(g[1], hex(g[2])) for g in groups]))
    if groups:
        group = groups[0][3]
        count = struct.unpack_from('<H', group, 4)[0]
        images = {r[1]: r[3] for r in resources if r[0] == RT_ICON}
        found = []
        for i in range(count):
            width, height, _, _, _, bits, _, ident = struct.unpack_from('<BBBBHHIH', group,
                                                                        6 + 14 * i)
            header = images.get(ident, b'')
            ok = len(header) >= 40 and struct.unpack_from('<iiHH', header, 4) == (
                width, height * 2, 1, bits)
            found.append((width, bits) if ok else ('bad image', ident))
        expect('four images: 16 and 32 pixels in 16 and 256 colours',
               sorted(found) == sorted(EXPECTED_ICONS) and len(images) == 4, str(found))

    if arch == 'win32':
        expect('size within %d bytes' % SIZE_BUDGET_WIN32, len(data) <= SIZE_BUDGET_WIN32,
               '%d bytes' % len(data))
    return results


def main():
    arch, path = sys.argv[1], sys.argv[2]
    try:
        results = check(arch, path)
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
    sys.exit(main())
