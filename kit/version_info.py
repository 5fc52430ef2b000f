"""The installer's file version as the launcher will see it. Windows'
GetFileVersionInfoA reads only the version resource of id 1 (VS_VERSION_INFO),
in the language its loader picks (neutral, then the user's, the system's, the
first), and VerQueryValueA(\\) hands back the root block's value, as long as
the block's header says: the launcher wants at least the 52 bytes of a
VS_FIXEDFILEINFO there. A resource under another id or name is invisible."""
import struct

RT_VERSION = 16
VS_VERSION_INFO = 1
LANG_NEUTRAL = 0
FIXED_SIZE = 52
SIGNATURE = 0xFEEF04BD
# The block's header (length, value length, type), its key and the padding to
# a DWORD: the value starts here.
ROOT_KEY = 'VS_VERSION_INFO\0'.encode('utf-16-le')
VALUE_OFFSET = 6 + len(ROOT_KEY) + 2


class Version:
    """What one language's resource of id 1 gives: `numbers` (major, minor,
    build, revision), or None and `why` there is none."""

    def __init__(self, language, numbers=None, why=None, damage=None):
        self.language, self.numbers, self.why = language, numbers, why
        self.damage = damage

    def text(self):
        return '.'.join(map(str, self.numbers)) if self.numbers else 'none (%s)' % self.why


def read_block(language, data, size):
    """The version in one resource's bytes (`data`: its first bytes, `size`:
    its whole length)."""
    if len(data) < VALUE_OFFSET:
        return Version(language, why='the resource is %d bytes, too short for a root block' % size)
    length, value_length, _ = struct.unpack_from('<HHH', data)
    if data[6:6 + len(ROOT_KEY)] != ROOT_KEY:
        return Version(language, why='its root block is not VS_VERSION_INFO')
    if value_length < FIXED_SIZE:
        return Version(language, why='its root block has a fixed part of %d bytes, fewer than '
                                     'the %d of VS_FIXEDFILEINFO' % (value_length, FIXED_SIZE))
    if VALUE_OFFSET + FIXED_SIZE > min(length, size) or len(data) < VALUE_OFFSET + FIXED_SIZE:
        return Version(language, why='its fixed part runs past the end of the resource')
    signature, _, ms, ls = struct.unpack_from('<IIII', data, VALUE_OFFSET)
    numbers = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    # The launcher does not look at the signature: it reads these numbers.
    damage = None if signature == SIGNATURE else (
        'its fixed part is damaged (signature %#x, not %#x), yet the launcher reads version %s '
        'from it' % (signature, SIGNATURE, '.'.join(map(str, numbers))))
    return Version(language, numbers, damage=damage)


def versions(pe):
    """(a Version for each language of resource id 1, the other ids and names
    of version resources) from a parsed PE whose resources are loaded."""
    found, others = [], []
    directory = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    for rtype in directory.entries if directory else []:
        if rtype.id != RT_VERSION or not hasattr(rtype, 'directory'):
            continue
        for name in rtype.directory.entries:
            if name.id != VS_VERSION_INFO:
                others.append('id %d' % name.id if name.id is not None else 'name %s' % name.name)
                continue
            for lang in getattr(getattr(name, 'directory', None), 'entries', []):
                if not hasattr(lang, 'data'):
                    continue
                entry = lang.data.struct
                data = pe.get_data(entry.OffsetToData, min(entry.Size, VALUE_OFFSET + FIXED_SIZE))
                found.append(read_block(lang.id, data, entry.Size))
    return found, others


def language_name(language):
    return 'language %04X%s' % (language, ' (neutral)' if language == LANG_NEUTRAL else '')


class Finding:
    """What the kit says of the installer's version: the numbers the launcher
    will take (None: none), a line for the maker and the warnings."""

    def __init__(self, numbers, summary, warnings, by_language=False):
        self.numbers, self.summary, self.warnings = numbers, summary, warnings
        self.by_language = by_language  # the numbers differ by the user's language


def offer(numbers):
    if numbers is None or numbers[:2] == (0, 0):
        return 'the launcher offers neither an installation nor an update'
    return ('the launcher offers to install the player where it is missing, and to update a '
            'player older than %d.%d' % numbers[:2])


def judge(path, found, others):
    """The finding for an installer whose version resources are `found`
    (id 1, each language) and `others` (ids and names Windows does not read)."""
    warnings = []
    if others:
        warnings.append('installer %s has a version resource under %s, which Windows does not '
                        'read (only id 1 counts)' % (path, ', '.join(others)))
    warnings += ['installer %s: %s' % (path, v.damage) for v in found if v.damage]
    neutral = [v for v in found if v.language == LANG_NEUTRAL]
    taken = neutral or found
    if len({v.numbers for v in taken}) > 1:
        listed = ', '.join('%s in %s' % (v.text(), language_name(v.language)) for v in found)
        warnings.append('installer %s declares different versions by language: %s; the launcher '
                        'takes the one of the user\'s language' % (path, listed))
        summary = 'installer version: %s, by the user\'s language' % ' or '.join(
            v.text() for v in taken)
        return Finding(None, summary, warnings, by_language=True)
    numbers = taken[0].numbers if taken else None
    if numbers is None:
        why = taken[0].why if taken else 'no version resource of id 1'
        warnings.append('installer %s has no version information (%s): %s' % (path, why,
                                                                              offer(None)))
        return Finding(None, 'installer version: none: %s' % offer(None), warnings)
    text = '.'.join(map(str, numbers))
    if numbers[:2] == (0, 0):
        warnings.append('installer %s declares version %s: %s' % (path, text, offer(numbers)))
    return Finding(numbers, 'installer version: %s: %s' % (text, offer(numbers)), warnings)
