"""Reads what the project needs from a PE file: headers, imports, resources."""
import struct


RT_VERSION = 16


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
        self.section_flags = {}  # name -> (raw size, characteristics)
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)
            name = name.rstrip(b'\0').decode()
            self.sections.append((name, va, max(vsize, raw_size), raw))
            flags = struct.unpack_from('<I', data, table + 40 * i + 36)[0]
            self.section_flags[name] = (raw_size, flags)
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

    def imported_functions(self):
        """{dll name in lower case: [function names]} (ordinals as '#n')."""
        rva, _ = self.directories[1]
        found, at = {}, self.offset(rva)
        width, ordinal_flag = (8, 1 << 63) if self.plus else (4, 1 << 31)
        while True:
            entry = struct.unpack_from('<5I', self.data, at)
            if not any(entry):
                return found
            names, thunk = [], self.offset(entry[0] or entry[4])
            while True:
                value = int.from_bytes(self.data[thunk:thunk + width], 'little')
                if value == 0:
                    break
                names.append('#%d' % (value & 0xFFFF) if value & ordinal_flag
                             else self.text_at((value & 0x7FFFFFFF) + 2))
                thunk += width
            found[self.text_at(entry[3]).lower()] = names
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

    def is_executable(self):
        """An image that Windows can start as a program: not a DLL."""
        return bool(self.characteristics & 0x0002) and not self.characteristics & 0x2000

    def file_version(self):
        """(major, minor, build, revision) of the version resource, or None."""
        for rtype, _, _, data in self.resources():
            if rtype != RT_VERSION:
                continue
            at = data.find(struct.pack('<I', 0xFEEF04BD))
            if at < 0 or len(data) < at + 52:
                return None
            ms, ls = struct.unpack_from('<II', data, at + 8)
            return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        return None
