"""A disc as Windows reads it, from an image, a device or a folder. Windows'
CD file system reads the last session, takes the first primary volume
descriptor, and from sector 16 on the first supplementary one with a Joliet
escape sequence, stopping at the terminator or at the first descriptor that
is not "CD001" version 1; where Joliet is found its tree alone is read, else
the ISO 9660 names (the ";1" version and one trailing dot cut off). It finds
folders through the descriptor's little-endian path table. A disc that also
carries UDF is read through UDF, which this reader does not read.

An image can come from anywhere: every count, size, extent and depth is
bounded, a folder is read once whatever points at it, and what does not hold
is a finding, never a hang."""
import fcntl
import os
import stat
import struct

BLOCK = 2048
FIRST_DESCRIPTOR = 16
MOST_DESCRIPTORS = 64
JOLIET_ESCAPES = (b'%/@', b'%/C', b'%/E')
UDF_IDENTIFIERS = (b'NSR02', b'NSR03')
RECOGNISED = (b'CD001', b'BEA01', b'NSR02', b'NSR03', b'TEA01', b'BOOT2', b'CDW02')
LARGEST_PATH_TABLE = 1 << 22
LARGEST_DIRECTORY = 1 << 22
LARGEST_TREE = 1 << 26  # bytes of folder records read in all
MOST_ENTRIES = 200000
DEEPEST_FOLDER = 64
# Linux's CD-ROM ioctl and its address format: the last session's start.
CDROMMULTISESSION = 0x5310
CDROM_LBA = 1


class Unreadable(Exception):
    """The target cannot be read as a disc at all; one line says why."""


class Entry:
    """A file or folder of the tree Windows reads: its names from the root,
    whether it is a folder, and its extent (an image's) and size."""

    def __init__(self, parts, is_folder, extent=0, size=0):
        self.parts, self.is_folder = tuple(parts), is_folder
        self.extent, self.size = extent, size
        self.cut = False  # its bytes run past the end of the image

    @property
    def path(self):
        return '\\'.join(self.parts)


class Disc:
    """What a reader found: the tree's kind, the label, the entries in
    directory order, and the faults of the file system itself."""

    def __init__(self, kind, label, size):
        self.kind, self.label, self.size = kind, label, size
        self.entries, self.faults = [], []
        self.source = None

    def find(self, *parts):
        """The first entry in directory order whose names are `parts`,
        compared without letter case as Windows compares."""
        key = tuple(p.upper() for p in parts)
        for entry in self.entries:
            if tuple(p.upper() for p in entry.parts) == key:
                return entry
        return None

    def read(self, entry, limit, offset=0):
        """At most `limit` of the entry's bytes from `offset` on."""
        return self.source.read(entry, limit, offset)

    def chunks(self, entry):
        """The entry's bytes, a megabyte at a time."""
        return self.source.chunks(entry)


# --- an image or a device -------------------------------------------------------

class Image:
    def __init__(self, path):
        try:
            self.file = open(path, 'rb')
            self.size = self.file.seek(0, os.SEEK_END)
        except OSError as error:
            raise Unreadable('%s cannot be read: %s' % (path, error.strerror or error))
        self.path = path

    def sector(self, number, count=1):
        if number < 0 or (number + count) * BLOCK > self.size:
            return None
        self.file.seek(number * BLOCK)
        data = self.file.read(count * BLOCK)
        return data if len(data) == count * BLOCK else None

    def read(self, entry, count, offset=0):
        self.file.seek(entry.extent * BLOCK + offset)
        return self.file.read(max(0, min(count, entry.size - offset)))

    def chunks(self, entry):
        self.file.seek(entry.extent * BLOCK)
        left = entry.size
        while left > 0:
            chunk = self.file.read(min(left, 1 << 20))
            if not chunk:
                return
            left -= len(chunk)
            yield chunk


def last_session(image):
    """The first sector of a device's last session (0 for an image or a
    single-session disc)."""
    try:
        if not stat.S_ISBLK(os.fstat(image.file.fileno()).st_mode):
            return 0
        asked = struct.pack('<iBB2x', 0, 0, CDROM_LBA)
        answer = fcntl.ioctl(image.file.fileno(), CDROMMULTISESSION, asked)
        start, _, _ = struct.unpack('<iBB2x', answer)
        return max(start, 0)
    except OSError:
        return 0


def descriptors(image, session):
    """(primary, Joliet supplementary or None, UDF found) as Windows takes
    them, from sector 16 of the session."""
    primary = joliet = None
    udf, cdfs = False, True
    for number in range(session + FIRST_DESCRIPTOR,
                        session + FIRST_DESCRIPTOR + MOST_DESCRIPTORS):
        data = image.sector(number)
        if data is None:
            break
        identifier = data[1:6]
        udf = udf or identifier in UDF_IDENTIFIERS
        if cdfs and (identifier != b'CD001' or data[6] != 1 or data[0] == 255):
            cdfs = False  # CDFS stops; the recognition sequence after it may name UDF
        if cdfs and data[0] == 1 and primary is None:
            primary = data
        elif cdfs and data[0] == 2 and joliet is None and data[88:91] in JOLIET_ESCAPES:
            joliet = data
        elif not cdfs and identifier not in RECOGNISED:
            break
    return primary, joliet, udf


def decode(name, joliet):
    if joliet:
        return name.decode('utf-16-be', errors='replace')
    text = name.decode('ascii', errors='replace')
    text = text.split(';')[0]
    return text[:-1] if text.endswith('.') else text


def path_table(image, descriptor, joliet, disc):
    """[(names from the root, extent)] of the folders in the little-endian
    path table, in its order; the root first."""
    size = struct.unpack_from('<I', descriptor, 132)[0]
    where = struct.unpack_from('<I', descriptor, 140)[0]
    if size > LARGEST_PATH_TABLE:
        disc.faults.append('the path table claims %d bytes, more than any disc needs' % size)
        return []
    data = image.sector(where, -(-size // BLOCK)) if size else None
    if data is None:
        disc.faults.append('the path table lies outside the image (cut short?): Windows finds '
                           'no folder')
        return []
    folders, at = [], 0
    while at + 8 <= size:
        length, _, extent, parent = struct.unpack_from('<BBIH', data, at)
        if length == 0:
            break
        name = data[at + 8:at + 8 + length]
        at += 8 + length + (length & 1)
        if not folders:
            folders.append(((), extent))
            continue
        if not 1 <= parent <= len(folders):
            disc.faults.append('the path table names a parent folder (%d) that does not come '
                               'before its folder: Windows cannot find the folders below' % parent)
            continue
        parts = folders[parent - 1][0] + (decode(name, joliet),)
        if len(parts) > DEEPEST_FOLDER:
            continue
        folders.append((parts, extent))
    return folders


def records(data):
    """(name bytes, extent, size, flags) of a directory's records; a record
    never crosses a sector, and a zero length ends the sector's."""
    at = 0
    while at + 34 <= len(data):
        length = data[at]
        if length == 0:
            at = (at // BLOCK + 1) * BLOCK
            continue
        if length < 34 or at + length > len(data):
            return
        extent = struct.unpack_from('<I', data, at + 2)[0]
        size = struct.unpack_from('<I', data, at + 10)[0]
        flags, name_length = data[at + 25], data[at + 32]
        yield data[at + 33:at + 33 + name_length], extent, size, flags
        at += length


def read_directory(image, extent, disc, shown):
    """The records of the folder at `extent`, its size taken from its own
    "." record; None, with a finding, where it cannot be read."""
    first = image.sector(extent)
    if first is None:
        disc.faults.append('folder %s lies outside the image (cut short?)' % shown)
        return None
    if first[0] < 34:
        disc.faults.append('folder %s holds no record of itself' % shown)
        return None
    size = struct.unpack_from('<I', first, 10)[0]
    if size > LARGEST_DIRECTORY:
        disc.faults.append('folder %s claims %d bytes of records' % (shown, size))
        return None
    data = image.sector(extent, max(1, -(-size // BLOCK)))
    if data is None:
        disc.faults.append('folder %s runs past the end of the image (cut short?)' % shown)
        return None
    return data[:size]


def read_image(path):
    """The Disc in the image or device at `path`, as Windows reads it."""
    image = Image(path)
    session = last_session(image)
    primary, joliet, udf = descriptors(image, session)
    if primary is None:
        raise Unreadable('%s is not a disc image: no ISO 9660 volume descriptor at sector 16'
                         % path)
    if udf:
        raise Unreadable('%s carries a UDF file system, which Windows reads in place of Joliet '
                         'and this check does not read' % path)
    descriptor = joliet or primary
    label = decode(descriptor[40:72], bool(joliet)).rstrip(' \0')
    disc = Disc('Joliet' if joliet else 'ISO 9660 without Joliet', label, image.size)
    disc.source = image
    blocks = struct.unpack_from('<I', primary, 80)[0]
    if blocks * BLOCK > image.size and not stat.S_ISBLK(os.fstat(image.file.fileno()).st_mode):
        disc.faults.append('the image is cut short: %d of the %d bytes its volume declares' %
                           (image.size, blocks * BLOCK))
    folders = path_table(image, descriptor, bool(joliet), disc)
    extents = {parts: extent for parts, extent in reversed(folders)}
    placed = {(parts[:-1], parts[-1].upper()): extent for parts, extent in reversed(folders)
              if parts}
    budget = LARGEST_TREE
    for parts, extent in folders:
        shown = '\\' + '\\'.join(parts)
        if any(extents.get(parts[:depth]) == extent for depth in range(len(parts))):
            disc.faults.append('folder %s points back at a folder above it: a loop' % shown)
            continue
        data = read_directory(image, extent, disc, shown)
        if data is None:
            continue
        budget -= len(data)
        if budget < 0:
            disc.faults.append('the folders hold more than %d bytes of records' % LARGEST_TREE)
            return disc
        for name, file_extent, size, flags in records(data):
            if name in (b'\0', b'\1'):
                continue
            if len(disc.entries) >= MOST_ENTRIES:
                disc.faults.append('the disc holds more than %d names' % MOST_ENTRIES)
                return disc
            entry = Entry(parts + (decode(name, bool(joliet)),), bool(flags & 2), file_extent,
                          size)
            disc.entries.append(entry)
            if entry.is_folder:
                known = placed.get((parts, entry.parts[-1].upper()))
                if known is None:
                    disc.faults.append('folder %s is missing from the path table, by which '
                                       'Windows finds folders' % ('\\' + entry.path))
                elif known != file_extent:
                    disc.faults.append('folder %s is elsewhere in the path table than in its '
                                       'parent\'s records' % ('\\' + entry.path))
            elif file_extent * BLOCK + size > image.size:
                entry.cut = True
                disc.faults.append('file %s runs past the end of the image (cut short?)' %
                                   ('\\' + entry.path))
    return disc


# --- a folder holding a disc's root ---------------------------------------------

class Folder:
    def __init__(self, root):
        self.root = root

    def read(self, entry, count, offset=0):
        with open(os.path.join(self.root, *entry.parts), 'rb') as file:
            file.seek(offset)
            return file.read(count)

    def chunks(self, entry):
        with open(os.path.join(self.root, *entry.parts), 'rb') as file:
            yield from iter(lambda: file.read(1 << 20), b'')


def read_folder(root):
    """The Disc a folder would make, its names as they are: links are not
    followed, and the walk is bounded as an image's is."""
    disc = Disc('a folder', os.path.basename(os.path.normpath(root)), 0)
    disc.source = Folder(root)

    def walk(parts):
        try:
            names = sorted(os.listdir(os.path.join(root, *parts)))
        except OSError as error:
            disc.faults.append('folder %s cannot be read: %s' % (
                '\\' + '\\'.join(parts), error.strerror))
            return
        for name in names:
            if len(disc.entries) >= MOST_ENTRIES:
                return
            info = os.lstat(os.path.join(root, *parts, name))
            entry = Entry(parts + (name,), stat.S_ISDIR(info.st_mode), size=info.st_size)
            disc.entries.append(entry)
            disc.size += info.st_size
            if entry.is_folder and len(entry.parts) < DEEPEST_FOLDER:
                walk(entry.parts)

    walk(())
    return disc


def read_disc(target):
    """The Disc at `target`: a folder, an image file or a block device."""
    if os.path.isdir(target):
        return read_folder(target)
    return read_image(target)
