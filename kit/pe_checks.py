"""The properties every build of the launcher must have as a file: machine,
subsystem, imports, resources, mitigation flags, size. Used by the PE check
test and by the disc kit on the copy it signs."""
import struct
import sys

try:
    import pefile
except ImportError:  # Debian's python3-pefile, seen from another Python 3 of the machine
    sys.path.append('/usr/lib/python3/dist-packages')
    import pefile

# 10,240 bytes and three file-alignment steps: the manifest, what Windows
# before 8 needs (the wait's mask, the altered DLL search, COM before the
# shell), and the manifest's Common Controls and DPI settings; the Common
# Controls loaded before a box on XP, and the registry and version functions
# found at run time, fit in it.
SIZE_BUDGET_WIN32 = 11776
MEM_WRITE = 0x80000000
IMPORTED_DLLS = ['kernel32.dll']
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24
DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x0400, 0x8000
EXPECTED_ICONS = [(16, 4), (32, 4), (16, 8), (32, 8)]
# The embedded manifest, to the byte: the Common Controls 6 (the system's own
# buttons), run as the invoker (no registry virtualization, no installer
# detection, no manifest file beside the launcher read), DPI awareness (per
# monitor v2 from Windows 10 1703 on, where the system scales the boxes
# itself; system-wide before), Windows 10 and 11 supported.
MANIFEST = (
    b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
    b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
    b'<dependency><dependentAssembly><assemblyIdentity type="win32" '
    b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" '
    b'publicKeyToken="6595b64144ccf1df" language="*"/></dependentAssembly></dependency>'
    b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
    b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
    b'</requestedPrivileges></security></trustInfo>'
    b'<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>'
    b'<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>'
    b'<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
    b'PerMonitorV2, System</dpiAwareness></windowsSettings></application>'
    b'<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>'
    b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'
    b'</application></compatibility></assembly>')


def load(data):
    """The parsed file; pefile.PEFormatError when it is no PE file."""
    return pefile.PE(data=data)


def resources(pe):
    """(type, name, language, data) for every resource with a numeric id; a
    tree that is not three levels deep (a damaged file) is passed over where
    it breaks."""
    directory = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    for rtype in directory.entries if directory else []:
        for name in getattr(getattr(rtype, 'directory', None), 'entries', []):
            for lang in getattr(getattr(name, 'directory', None), 'entries', []):
                if not hasattr(lang, 'data'):
                    continue
                entry = lang.data.struct
                yield rtype.id, name.id, lang.id, pe.get_data(entry.OffsetToData, entry.Size)


def imports(pe):
    """{dll name in lower case: [function names]} (ordinals as '#n')."""
    return {entry.dll.decode().lower():
            [i.name.decode() if i.name else '#%d' % i.ordinal for i in entry.imports]
            for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', [])}


def check(arch, data, with_budget=True):
    """(what, ok, detail) for every property the shipped file must have. A
    signed copy is checked without the size budget: its certificate table
    comes on top."""
    pe = load(data)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    sections = {section.Name.rstrip(b'\0').decode(): section for section in pe.sections}
    results = []

    def expect(what, ok, detail=''):
        results.append((what, ok, detail))

    machine, magic = (0x14C, 0x10B) if arch == 'win32' else (0x8664, 0x20B)
    expect('machine', header.Machine == machine and optional.Magic == magic,
           'machine %#x magic %#x' % (header.Machine, optional.Magic))
    expect('subsystem is Windows GUI', optional.Subsystem == 2, str(optional.Subsystem))
    expect('no timestamp (reproducible)', header.TimeDateStamp == 0, hex(header.TimeDateStamp))
    expect('512-byte file alignment', optional.FileAlignment == 512,
           str(optional.FileAlignment))
    # Windows checks no program's checksum, but scanners do.
    expect('header checksum correct', optional.CheckSum == pe.generate_checksum(),
           'stored %#x, computed %#x' % (optional.CheckSum, pe.generate_checksum()))

    dlls = list(imports(pe))
    # The registry and version functions come from KERNEL32 and KERNELBASE
    # where those have them, else from ADVAPI32 and VERSION of the system
    # folder; USER32, COMCTL32 and SHELL32 are loaded when needed.
    expect('imports exactly KERNEL32', sorted(dlls) == sorted(IMPORTED_DLLS), ', '.join(dlls))
    # The three registry reads are looked up by name: nothing that could write
    # the registry is imported.
    registry = [f for f in imports(pe).get('kernel32.dll', []) if f.startswith('Reg')]
    expect('no registry function imported', not registry, ', '.join(registry))

    flags = optional.DllCharacteristics
    expect('ASLR, DEP and terminal-server-aware flags',
           flags & (DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE) ==
           DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE, hex(flags))
    if arch == 'win32':
        # The launcher registers no exception handler, so none may be dispatched.
        expect('no SEH handlers (NO_SEH)', bool(flags & NO_SEH), hex(flags))
    # x86 code holds absolute addresses and must carry their fixups; x64 code
    # here is all RIP-relative, so only the stripped flag must stay clear.
    relocations = optional.DATA_DIRECTORY[5]
    reloc_rva, reloc_size = relocations.VirtualAddress, relocations.Size
    expect('relocations not stripped', not header.Characteristics & 0x0001,
           hex(header.Characteristics))
    if arch == 'win32':
        expect('relocation section kept', reloc_rva != 0 and reloc_size > 0,
               'size %d' % reloc_size)

    # Writable data is zero-filled (.bss, no file space): no section that the
    # file fills may be written, the resources included.
    writable = [name for name, section in sections.items()
                if section.Characteristics & MEM_WRITE and section.SizeOfRawData]
    expect('no writable initialised section', not writable, ', '.join(writable))
    if arch == 'win32':
        expect('import tables inside the read-only data', '.idata' not in sections,
               ', '.join(sections))

    found = list(resources(pe))
    types = sorted({r[0] for r in found})
    expect('only icons and the manifest', types == [RT_ICON, RT_GROUP_ICON, RT_MANIFEST],
           str(types))
    manifests = [(r[1], r[2], r[3]) for r in found if r[0] == RT_MANIFEST]
    expect('one manifest 1, English (United States), asInvoker, exactly as expected',
           manifests == [(1, 0x0409, MANIFEST)],
           str([(m[0], hex(m[1]), len(m[2])) for m in manifests]))
    expect('no version resource, no string table',
           not any(r[0] in (RT_VERSION, RT_STRING) for r in found))
    groups = [r for r in found if r[0] == RT_GROUP_ICON]
    expect('one icon group 101, English (United States)',
           [(g[1], g[2]) for g in groups] == [(101, 0x0409)],
           str([(g[1], hex(g[2])) for g in groups]))
    if groups:
        group = groups[0][3]
        count = struct.unpack_from('<H', group, 4)[0]
        images = {r[1]: r[3] for r in found if r[0] == RT_ICON}
        icons = []
        for i in range(count):
            width, height, _, _, _, bits, _, ident = struct.unpack_from('<BBBBHHIH', group,
                                                                        6 + 14 * i)
            header = images.get(ident, b'')
            ok = len(header) >= 40 and struct.unpack_from('<iiHH', header, 4) == (
                width, height * 2, 1, bits)
            icons.append((width, bits) if ok else ('bad image', ident))
        expect('four images: 16 and 32 pixels in 16 and 256 colours',
               sorted(icons) == sorted(EXPECTED_ICONS) and len(images) == 4, str(icons))

    if arch == 'win32' and with_budget:
        expect('size within %d bytes' % SIZE_BUDGET_WIN32, len(data) <= SIZE_BUDGET_WIN32,
               '%d bytes' % len(data))
    return results
