"""What Windows and the launcher will make of a disc, whoever made it: the
tree Windows reads, what AutoPlay starts from autorun.inf, the launcher, the
installer and the playlist it finds beside itself, the names Windows cannot
open, and what the launcher will do on each kind of machine. Each finding is
a fault (the disc will not do what it is meant to) or a warning."""
import os
import tempfile
from contextlib import contextmanager

import content
from disc_kit import (INSTALLER_NAME, LARGEST_LAUNCHER, LAUNCHER_NAME, MEDIA, PLAYLIST_NAME,
                      UNSIGNED_INSTALLER, UNSIGNED_LAUNCHER, Refused, check_launcher, number,
                      read_installer, signature_findings)
from disc_reader import read_disc
from pe_checks import pefile
from signing import is_signed

LARGEST_AUTORUN = 64 * 1024
LARGEST_PLAYLIST = 1 << 20
# A program's headers, and the most of its resources read for its version.
HEADERS = 64 * 1024
LARGEST_RESOURCES = 64 << 20
# What the launcher's ANSI calls take: MAX_PATH with its terminating NUL.
LONGEST_PATH = 259
# Names Windows cannot list (the folder holding one is unreadable), and names
# it lists but cannot open through Win32.
UNLISTABLE = set('*?/\\:')
UNOPENABLE = set('"<>|')
# The architecture sections that shadow [AutoRun] where they are found.
ARCHITECTURES = (('32-bit Windows', 'autorun'), ('64-bit Windows', 'autorun.amd64'))
# Findings of these parts are the layout's: a disc the kit made must have none.
LAYOUT = ('file system', 'autorun', 'launcher', 'installer', 'names')
INSTALL = 'Do you want to install Orvane now?'
UPDATE = 'Do you want to install the updated version of Orvane now?'


class Report:
    """The findings in sections a maker reads in a minute."""

    def __init__(self, target):
        self.target = target
        self.lines = {}      # section: [line]
        self.findings = []   # (fault or warning, section, text)

    def say(self, section, line):
        self.lines.setdefault(section, []).append(line)

    def fault(self, section, text):
        self.findings.append(('fault', section, text))

    def warn(self, section, text):
        self.findings.append(('warning', section, text))

    def faults(self, sections=None):
        return [text for kind, section, text in self.findings
                if kind == 'fault' and (sections is None or section in sections)]

    def warnings(self):
        return [text for kind, _, text in self.findings if kind == 'warning']

    def as_dict(self):
        return {'target': self.target, 'sections': self.lines, 'faults': self.faults(),
                'warnings': self.warnings()}

    def text(self):
        lines = []
        for section, said in self.lines.items():
            lines.append('%s:' % section)
            lines += ['  ' + line for line in said]
        lines += ['fault: %s' % text for text in self.faults()]
        lines += ['warning: %s' % text for text in self.warnings()]
        return '\n'.join(lines)


def profile(data):
    """autorun.inf as GetPrivateProfileString reads it: {section: {key:
    value}}, names without letter case, the first of a key counting."""
    text = (data.decode('utf-16', errors='replace') if data[:2] in (b'\xff\xfe', b'\xfe\xff')
            else data.decode('cp1252', errors='replace'))
    sections, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith('['):
            current = sections.setdefault(line[1:].split(']')[0].strip().lower(), {})
        elif current is not None and '=' in line and not line.startswith(';'):
            key, _, value = line.partition('=')
            current.setdefault(key.strip().lower(), value.strip())
    return sections


def program_of(command):
    """The program a command line names (quoted or up to its first blank)."""
    command = command.strip()
    if command.startswith('"'):
        return command[1:].split('"')[0]
    return command.split(' ')[0]


def parts_of(path):
    return tuple(part for part in path.replace('/', '\\').split('\\') if part not in ('', '.'))


def check_autorun(disc, report):
    """The launcher AutoPlay starts from autorun.inf at the root of the
    tree Windows reads (an Entry), or None."""
    entry = disc.find('autorun.inf')
    if entry is None or entry.is_folder:
        report.fault('autorun', 'no autorun.inf at the root of the tree Windows reads: nothing '
                                'starts when the disc is inserted')
        return None
    sections = profile(disc.read(entry, LARGEST_AUTORUN))
    opened = None
    for system, name in ARCHITECTURES:
        section = sections.get(name, {}) if name in sections else sections.get('autorun', {})
        shown = '[AutoRun.Amd64]' if name in sections and name != 'autorun' else '[AutoRun]'
        if not section.get('open'):
            report.fault('autorun', 'on %s autorun.inf\'s %s has no open=: nothing starts' %
                         (system, shown) + (' ([AutoRun.Amd64] shadows [AutoRun] whole)'
                                            if shown != '[AutoRun]' else ''))
            continue
        report.say('autorun', '%s: %s open=%s' % (system, shown, section['open']))
        opened = opened or section['open']
        if section.get('useautoplay') == '1':
            report.fault('autorun', '%s has UseAutoPlay=1: from Windows Vista on, AutoPlay '
                         'does not offer the launcher' % shown)
    label = sections.get('autorun', {}).get('label')
    if label:
        report.say('file system', 'Explorer shows the label "%s" (autorun.inf\'s label=)' %
                   label)
    if opened is None:
        return None
    program = parts_of(program_of(opened))
    found = disc.find(*program) if program else None
    if found is None or found.is_folder:
        report.fault('autorun', 'autorun.inf starts %s, which the disc does not hold' %
                     '\\'.join(program))
        return None
    return found


@contextmanager
def copy_of(disc, entry, whole=True):
    """A file holding the entry's bytes, for the readers that take a path;
    not `whole`, only a program's headers and resources, the rest a hole of
    the same size (its version is read there, not its signature)."""
    with tempfile.NamedTemporaryFile(prefix='orvane-check.', suffix='.exe') as copy:
        if whole:
            for chunk in disc.chunks(entry):
                copy.write(chunk)
        else:
            head = disc.read(entry, HEADERS)
            copy.write(head)
            for start, size in resource_ranges(head):
                copy.seek(start)
                copy.write(disc.read(entry, size, start))
            copy.truncate(entry.size)
        copy.flush()
        yield copy.name


def resource_ranges(head):
    """(offset, size) in the file of each section holding resources, from
    its headers; none where they cannot be read (the reader says why)."""
    try:
        pe = pefile.PE(data=head, fast_load=True)
    except pefile.PEFormatError:
        return []
    return [(s.PointerToRawData, min(s.SizeOfRawData, LARGEST_RESOURCES))
            for s in pe.sections if s.Name.rstrip(b'\0') == b'.rsrc']


def judge_signature(what, path, signed, unsigned_text, report):
    """Whether the program counts as signed: a warning where it is not, a
    fault where its signature does not verify."""
    unsigned, untrusted = signature_findings(what, path, signed, unsigned_text)
    for text in unsigned:
        (report.fault if signed else report.warn)('signature', text)
    for text in untrusted:
        report.warn('signature', text)
    return signed and not unsigned


def is_signed_entry(disc, entry):
    """Whether the program carries a certificate table, from its headers."""
    try:
        return is_signed(disc.read(entry, HEADERS))
    except (pefile.PEFormatError, AttributeError, IndexError):
        return False


def check_launcher_file(disc, entry, report):
    if entry.cut:
        report.fault('launcher', 'the launcher %s runs past the end of the image' % entry.path)
        return
    data = disc.read(entry, LARGEST_LAUNCHER)
    try:
        check_launcher(entry.path, data, 'win32')
    except Refused as refusal:
        report.fault('launcher', str(refusal))
        return
    with copy_of(disc, entry) as path:
        signed = judge_signature('the launcher %s' % entry.path, path, is_signed(data),
                                 UNSIGNED_LAUNCHER, report)
    report.say('launcher', '%s: a 32-bit Windows program, %s' % (
        entry.path, 'signed' if signed else 'unsigned'))


def check_installer(disc, folder, report):
    """The installer's version as the launcher compares it (major, minor) or
    None, and whether it varies by the user's language."""
    parts = folder + parts_of(INSTALLER_NAME)
    entry = disc.find(*parts)
    if entry is None or entry.is_folder:
        report.fault('installer', 'no installer at %s beside the launcher: the launcher offers '
                                  'no installation and no update' % '\\'.join(parts))
        return None, False
    if entry.cut:
        report.fault('installer', 'the installer %s runs past the end of the image' % entry.path)
        return None, False
    signed = is_signed_entry(disc, entry)
    with copy_of(disc, entry, whole=signed) as path:
        try:
            finding, signed = read_installer(path, entry.size)
        except Refused as refusal:
            report.fault('installer', str(refusal).replace(path, entry.path))
            return None, False
        except Exception as error:  # pefile's own, such as a map it cannot make
            report.fault('installer', 'installer %s cannot be read: %s' % (entry.path, error))
            return None, False
        signed = judge_signature('installer %s' % entry.path, path, signed,
                                 UNSIGNED_INSTALLER % entry.path, report)
    for text in finding.warnings:
        report.warn('version', text.replace(path, entry.path))
    numbers = finding.numbers[:2] if finding.numbers else None
    varies = finding.by_language
    if numbers in (None, (0, 0)) and not varies:
        report.fault('version', 'the installer declares no version the launcher reads: it '
                                'offers no installation and no update')
    report.say('installer', '%s, %s: %s' % (entry.path, 'signed' if signed else 'unsigned',
                                            finding.summary))
    return (None if numbers == (0, 0) else numbers), varies


def check_playlist(disc, folder, report):
    entry = disc.find(*folder, PLAYLIST_NAME)
    if entry is None or entry.is_folder:
        report.fault('playlist', 'no %s beside the launcher: the player is handed nothing to '
                                 'play' % PLAYLIST_NAME)
        return
    below = [e for e in disc.entries if e.parts[:len(folder)] == folder and not e.is_folder]
    held = ['/'.join(e.parts[len(folder):]) for e in below]
    findings = content.playlist_findings(entry.path, disc.read(entry, LARGEST_PLAYLIST), held)
    for text in findings:
        (report.fault if content.NOT_HELD in text else report.warn)('playlist', text)
    report.say('playlist', '%s: %s' % (entry.path, 'every track it names is on the disc'
                                       if not any(content.NOT_HELD in t for t in findings)
                                       else 'names tracks the disc does not hold'))


def check_names(disc, folder, report):
    """Names Windows cannot list or open, letter-case clashes, paths past
    MAX_PATH from a drive's root."""
    seen = {}
    own = {folder + (LAUNCHER_NAME,), folder + parts_of(INSTALLER_NAME),
           folder + (PLAYLIST_NAME,)} if folder is not None else set()
    for entry in disc.entries:
        name, shown = entry.parts[-1], '\\' + entry.path
        if not name or any(ord(c) < 32 or c in UNLISTABLE for c in name):
            report.fault('names', '%r in \\%s: Windows cannot list the folder that holds it' %
                         (name, '\\'.join(entry.parts[:-1])))
        elif any(c in UNOPENABLE for c in name) or name.endswith(('.', ' ')):
            report.warn('names', '%s cannot be opened through Windows\' own calls' % shown)
        key = (entry.parts[:-1], name.upper())
        if key in seen:
            report.fault('names', '%s and %s differ only in letter case: Windows opens only '
                                  'the first' % (seen[key], shown))
        seen.setdefault(key, shown)
        if len('X:\\' + entry.path) > LONGEST_PATH:
            (report.fault if entry.parts in own else report.warn)(
                'names', '%s is %d characters long from a drive\'s root, more than Windows\' '
                '%d' % (shown, len('X:\\' + entry.path), LONGEST_PATH))


def check_size(disc, report):
    if not disc.size or disc.kind == 'a folder':
        return
    fits = [name for name, size in MEDIA.items() if disc.size <= size]
    report.say('file system', '%s bytes: %s' % (number(disc.size), 'fits a %s' % fits[0]
                                                if fits else 'larger than any medium'))
    if not fits:
        report.fault('file system', 'the image is larger than a dual-layer DVD')


def describe_machines(numbers, varies, folder, report):
    """One line per kind of machine: what the launcher does there."""
    if folder is None:
        report.say('what the launcher will do', 'AutoPlay starts no launcher from this disc')
        return
    player = 'starts the player on the playlist'
    if varies:
        report.say('what the launcher will do', 'not installed, or installed older: depends '
                   'on the user\'s language (the installer declares versions by language)')
    elif numbers is None:
        report.say('what the launcher will do', 'not installed: starts nothing (the installer '
                   'declares no version the launcher reads)')
        report.say('what the launcher will do', 'installed: %s' % player)
    else:
        version = '%d.%d' % numbers
        report.say('what the launcher will do', 'not installed: asks "%s"; yes runs the '
                   'installer from the disc, then %s; no starts nothing' % (INSTALL, player))
        report.say('what the launcher will do', 'installed, older than %s: asks "%s"; yes runs '
                   'the installer, then %s; no %s' % (version, UPDATE, player, player))
        report.say('what the launcher will do', 'installed, %s or newer: %s' % (version, player))
    report.say('what the launcher will do', 'autorun switch off: starts nothing')


def check_disc(disc, target, layout_only=False):
    """The Report on a Disc read from `target`; `layout_only` looks at the
    tree, autorun.inf and the names and places of the disc's own files, not
    into the programs and the playlist (for a disc whose inputs were judged
    before it was made)."""
    report = Report(target)
    report.say('file system', '%s, read as Windows reads it: %s, label "%s"' % (
        target, disc.kind, disc.label))
    for text in disc.faults:
        report.fault('file system', text)
    check_size(disc, report)
    launcher = check_autorun(disc, report)
    folder = launcher.parts[:-1] if launcher else None
    check_names(disc, folder, report)
    if launcher is None:
        describe_machines(None, False, None, report)
    elif layout_only:
        for name in (INSTALLER_NAME, PLAYLIST_NAME):
            if disc.find(*folder + parts_of(name)) is None:
                report.fault('installer', 'no %s beside the launcher' % name)
    else:
        check_launcher_file(disc, launcher, report)
        numbers, varies = check_installer(disc, folder, report)
        check_playlist(disc, folder, report)
        describe_machines(numbers, varies, folder, report)
    return report


def check(target, layout_only=False):
    """The Report on the disc at `target`; raises disc_reader.Unreadable."""
    return check_disc(read_disc(os.fspath(target)), os.fspath(target), layout_only)


def first_difference(target, image):
    """Where a burned disc (or any copy) first differs from its image, over
    the image's length (a drive reads back padding past it): None where it
    does not, else a line naming the file, or the volume's own structures."""
    disc = read_disc(os.fspath(image))
    at = 0
    with open(target, 'rb') as copy, open(image, 'rb') as original:
        while True:
            want = original.read(1 << 20)
            if not want:
                return None
            got = copy.read(len(want))
            if got != want:
                offset = at + next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                                   min(len(got), len(want)))
                break
            at += len(want)
    sector = offset // 2048
    for entry in disc.entries:
        if not entry.is_folder and entry.extent <= sector < entry.extent + -(-entry.size // 2048):
            return 'differs from the image first in %s (byte %s of the image)' % (
                '\\' + entry.path, number(offset))
    if offset >= disc.size or len(got) < len(want):
        return 'ends before the image does (byte %s)' % number(offset)
    return ('differs from the image first at byte %s, in the volume\'s descriptors or folders' %
            number(offset))
