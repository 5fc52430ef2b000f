"""The tracks: folders of the maker's (--content) whose files and subfolders go
on the disc beside the launcher, names and layout kept. Every name is checked
before anything is written, as Windows will read it from the disc's Joliet
tree: letter case does not tell names apart, some characters and names are
not allowed, and a name or path too long would be cut. And the playlist: where
it reads as an M3U list, the tracks it names that the disc will not hold."""
import os
import re
import stat
import unicodedata
from pathlib import PurePosixPath

# The disc's own names, at its root.
DISC_OWN = ('OrvaneCD.exe', 'autorun.inf', 'CDPlayList.p4u', 'Orvane Installer')
DISC_OWN_FILES = ('OrvaneCD.exe', 'autorun.inf', 'CDPlayList.p4u',
                  'Orvane Installer/ervast_orvane.exe')
# Joliet as xorriso writes it (-joliet-long) holds names of 103 UTF-16 units
# in UCS-2, and Joliet paths of 240; ISO 9660 allows 8 levels of folders.
LONGEST_NAME = 103
LONGEST_PATH = 240
DEEPEST = 8
# Joliet's forbidden characters, and Windows' own.
FORBIDDEN = set('*/:;?\\"<>|')
RESERVED = {'CON', 'PRN', 'AUX', 'NUL'} | {'%s%d' % (d, n) for d in ('COM', 'LPT')
                                          for n in range(1, 10)}
# How a playlist's finding names tracks the disc lacks.
NOT_HELD = 'that the disc will not hold'
URL = re.compile(r'^[A-Za-z][A-Za-z0-9+.-]+:')
ABSOLUTE = re.compile(r'^([A-Za-z]:|/)')


class ContentError(Exception):
    pass


def shown(text):
    """A name or path as a message can hold it, whatever its bytes."""
    return os.fsencode(text).decode('utf-8', 'backslashreplace')


def windows_key(path):
    """The path as Windows compares names: letter case folded, one character
    for one."""
    return tuple(''.join(c.upper() if len(c.upper()) == 1 else c for c in part)
                 for part in PurePosixPath(path).parts)


def is_utf8(name):
    """Whether a name read from the file system was valid UTF-8 there."""
    try:
        name.encode('utf-8')
        return True
    except UnicodeEncodeError:
        return False


def name_fault(name):
    """Why Joliet or Windows cannot hold the name whole; None when they can."""
    if not is_utf8(name):
        return 'it is not valid UTF-8'
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        return 'it holds a control character'
    if any(ord(c) > 0xFFFF for c in name):
        return 'it holds a character beyond what Joliet\'s UCS-2 holds'
    bad = sorted(set(name) & FORBIDDEN)
    if bad:
        return 'it holds %s, which Joliet or Windows does not allow' % ' '.join(bad)
    if len(name) > LONGEST_NAME:
        return 'it is %d characters long; Joliet holds %d' % (len(name), LONGEST_NAME)
    if name.endswith(('.', ' ')):
        return 'it ends with a dot or a blank, which Windows drops'
    if name.split('.')[0].upper().rstrip(' ') in RESERVED:
        return 'Windows reserves it for a device'
    return None


class Entry:
    """One file or folder of the content: its path on the disc ('/'
    separated), where it comes from and its modification time."""

    def __init__(self, disc_path, source, info):
        self.disc_path, self.source = disc_path, source
        self.is_folder = stat.S_ISDIR(info.st_mode)
        self.mtime = info.st_mtime


def check_place(disc_path, source, largest_file, info):
    where = 'content %s' % shown(source)
    for part in PurePosixPath(disc_path).parts:
        fault = name_fault(part)
        if fault:
            raise ContentError('%s: the name \'%s\' cannot go on the disc whole: %s' %
                               (where, shown(part), fault))
    # Levels of folders, the root's included: a folder is one itself.
    levels = len(PurePosixPath(disc_path).parts) + stat.S_ISDIR(info.st_mode)
    if levels > DEEPEST:
        raise ContentError('%s lies %d levels of folders deep on the disc, the root\'s '
                           'included; ISO 9660 allows %d' % (where, levels, DEEPEST))
    if len(disc_path) > LONGEST_PATH:
        raise ContentError('%s has a path of %d characters on the disc; Joliet holds %d' %
                           (where, len(disc_path), LONGEST_PATH))
    if stat.S_ISLNK(info.st_mode):
        raise ContentError('%s is a link; only regular files and folders go on the disc' % where)
    if not (stat.S_ISREG(info.st_mode) or stat.S_ISDIR(info.st_mode)):
        raise ContentError('%s is not a regular file or a folder' % where)
    if info.st_size > largest_file and stat.S_ISREG(info.st_mode):
        raise ContentError('%s is %s bytes; ISO 9660 as this kit writes it holds files below '
                           '4 GiB' % (where, '{:,}'.format(info.st_size)))
    if stat.S_ISREG(info.st_mode):
        try:
            with open(source, 'rb'):
                pass
        except OSError as error:
            raise ContentError('%s cannot be read: %s' % (where, error.strerror or error))


# What operating systems and version control leave in folders, which no maker
# means to press: macOS's folder settings and resource forks, Windows' thumbnail
# caches and folder settings, Git's and Subversion's folders.
LEFT_BY_SYSTEMS = re.compile(r'^(\.DS_Store|\._.*|Thumbs\.db|desktop\.ini|\.git|\.svn)$',
                             re.IGNORECASE)


def walk(folder, below='', left_out=None):
    """(path on the disc, source path, lstat) of everything below `folder`,
    a folder before what it holds, in name order; with `left_out` (a list),
    what systems leave is passed over and named there."""
    try:
        names = sorted(os.listdir(os.path.join(folder, below) if below else folder))
    except OSError as error:
        raise ContentError('content %s cannot be read: %s' %
                           (shown(os.path.join(folder, below)), error.strerror or error))
    for name in names:
        if left_out is not None and LEFT_BY_SYSTEMS.match(name):
            left_out.append(os.path.join(folder, below, name))
            continue
        disc_path = below + '/' + name if below else name
        source = os.path.join(folder, disc_path)
        info = os.lstat(source)
        yield disc_path, source, info
        if stat.S_ISDIR(info.st_mode):
            yield from walk(folder, disc_path, left_out)


def gather(folders, largest_file, left_out=None):
    """The entries of every content folder, merged into one tree, and the
    folders merged under another spelling; refuses what cannot go on the disc
    whole, and two files of one name. Folders whose names Windows takes for
    one (the same but for letter case) are one folder, under the first
    spelling: Windows could open only one of two. A folder given twice counts
    once. With `left_out` (a list), what systems leave in folders is passed
    over and named there."""
    taken = {windows_key(name): 'the disc\'s own %s' % name for name in DISC_OWN}
    entries, merged, seen = {}, [], set()
    for folder in folders:
        try:
            if not stat.S_ISDIR(os.stat(folder).st_mode):
                raise ContentError('content %s is not a folder' % shown(folder))
        except OSError as error:
            raise ContentError('content %s cannot be read: %s' %
                               (shown(folder), error.strerror or error))
        if os.path.realpath(folder) in seen:
            continue
        seen.add(os.path.realpath(folder))
        for disc_path, source, info in walk(folder, left_out=left_out):
            check_place(disc_path, source, largest_file, info)
            key = windows_key(disc_path)
            if len(key) > 1:
                # Below a folder merged into another spelling: that spelling.
                disc_path = entries[key[:-1]].disc_path + '/' + PurePosixPath(disc_path).name
            earlier = entries.get(key)
            if key in taken or (earlier and not (earlier.is_folder and stat.S_ISDIR(info.st_mode))):
                other = taken.get(key) or shown(earlier.source)
                raise ContentError('content %s would take the name of %s on the disc (Windows '
                                   'does not tell letter case apart)' % (shown(source), other))
            if not earlier:
                entries[key] = Entry(disc_path, source, info)
            elif earlier.disc_path != disc_path:
                merged.append((earlier.disc_path, source))
    return [entries[key] for key in sorted(entries)], merged


def empty_folders(entries):
    """The folders among `entries` that hold none of the others."""
    holding = {str(parent) for e in entries for parent in PurePosixPath(e.disc_path).parents}
    return [e for e in entries if e.is_folder and e.disc_path not in holding]


def decoded(data):
    """The playlist's text and the code page it was read in ('' for Unicode),
    or (None, why) when the kit cannot read it as a list of names."""
    if data[:2] in (b'\xff\xfe', b'\xfe\xff'):
        try:
            return data.decode('utf-16'), ''
        except UnicodeDecodeError:
            return None, 'it begins as UTF-16 but is not'
    if b'\0' in data:
        return None, 'it is not text'
    data = data[3:] if data.startswith(b'\xef\xbb\xbf') else data
    try:
        return data.decode('utf-8'), ''
    except UnicodeDecodeError:
        pass
    # A player reads other bytes in its Windows' code page: a Japanese list
    # as 932, where the bytes are 932's double-byte characters, else as 1252.
    try:
        text = data.decode('cp932')
        if any(ord(c) > 0xFF for c in text):
            return text, 'Windows code page 932 (Japanese)'
    except UnicodeDecodeError:
        pass
    return data.decode('cp1252', errors='replace'), 'Windows code page 1252 (Western)'


def playlist_entries(text):
    """The lines of an M3U list that name something, or None when the text is
    not such a list."""
    if any(ord(c) < 32 and c not in '\t\r\n\f\x1a' for c in text):
        return None
    lines = (line.strip() for line in text.splitlines())
    return [line for line in lines if line and not line.startswith('#')]


def other_form(text):
    """The name of a playlist form the kit does not read, or None."""
    first = text.lstrip('\ufeff \t\r\n')[:64].lower()
    if first.startswith('[playlist]'):
        return 'PLS'
    if first.startswith('<'):
        return 'XML'
    return None


def resolve(entry):
    """A relative entry's path on the disc ('/' separated), or None for a URL
    or an absolute path, and '' for one that climbs above the disc's root."""
    path = entry.replace('\\', '/')
    if URL.match(path) or ABSOLUTE.match(path):
        return None
    parts = []
    for part in path.split('/'):
        if part in ('', '.'):
            continue
        if part == '..':
            if not parts:
                return ''
            parts.pop()
        else:
            parts.append(part)
    return '/'.join(parts)


def nfc_key(path):
    return windows_key(unicodedata.normalize('NFC', path))


def playlist_findings(name, data, disc_files):
    """What a maker is to hear about the playlist: [warning], each naming
    the entries (`disc_files`: the paths of every file the disc holds)."""
    text, how = decoded(data)
    if text is None:
        return ['the kit cannot read playlist %s as a list of tracks (%s): its tracks are not '
                'checked' % (name, how)]
    form = other_form(text)
    if form:
        return ['playlist %s is in %s form, which the kit does not read: its tracks are not '
                'checked' % (name, form)]
    entries = playlist_entries(text)
    if entries is None:
        return ['the kit cannot read playlist %s as a list of tracks (it holds control '
                'characters): its tracks are not checked' % name]
    held = {windows_key(path) for path in disc_files}
    normalised = {nfc_key(path) for path in disc_files}
    absolute, missing, unnormalised = [], [], []
    for entry in entries:
        path = resolve(entry)
        if path is None and ABSOLUTE.match(entry.replace('\\', '/')):
            absolute.append(entry)
        elif path is None:
            continue  # a URL
        elif not path or windows_key(path) not in held:
            (unnormalised if path and nfc_key(path) in normalised else missing).append(entry)
    findings = ['playlist %s is not UTF-8; the kit read it as %s' % (name, how)] if how else []
    for entries, what in (
            (absolute, 'by an absolute path, which names a place on some computer, never the disc'),
            (missing, NOT_HELD),
            (unnormalised, 'whose letters the disc holds composed otherwise (Unicode '
                           'normalisation, as macOS writes names): Windows takes them for other '
                           'names')):
        if entries:
            findings.append('playlist %s names %d track%s %s: %s' % (
                name, len(entries), '' if len(entries) == 1 else 's', what,
                ', '.join(shown(e) for e in entries)))
    return findings
