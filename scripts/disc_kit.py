"""The disc kit's work, for scripts/make-disc and the conformance bundle: every
input checked before anything is written, the image's exact size checked
against the medium before a byte is copied, the installer and the image
streamed (memory does not grow with their size), and the outputs taken under
their final names only where those names are free, so that nothing is ever
replaced and a run that fails or is stopped leaves nothing of its own."""
import errno
import hashlib
import os
import shutil
import signal
import stat
import subprocess
import tempfile
from contextlib import contextmanager
from pathlib import Path

from pe_checks import load, pefile, resources
from signing import SigningError, sign_launcher

LAUNCHER_NAME = 'OrvaneCD.exe'
INSTALLER_NAME = Path('Orvane Installer') / 'ervast_orvane.exe'
PLAYLIST_NAME = 'CDPlayList.p4u'
DEFAULT_ACTION = 'Play the playlist with Orvane'
# Windows shows the Joliet volume label, which holds 16 characters.
LONGEST_LABEL = 16
# Bytes, the smaller of the recordable formats of each size.
MEDIA = {'cd74': 681984000, 'cd80': 737280000, 'dvd': 4700372992, 'dvd-dl': 8543666176}
BLOCK = 2048
# ISO 9660 as written here records a file in one extent, whose size field
# holds less than 4 GiB.
LARGEST_FILE = 4 * 1024 ** 3 - 1
LARGEST_LAUNCHER = 16 * 1024 * 1024
D_CHARACTERS = set('ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_')
PRIMARY_VOLUME_DESCRIPTOR = 16 * BLOCK
HELD_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Refused(Exception):
    pass


def number(count):
    return '{:,}'.format(count)


# --- the inputs --------------------------------------------------------------------

def regular_file(path, what):
    """The size of a readable regular file; anything else (a folder, a pipe,
    a device) is refused before it is read."""
    try:
        info = os.stat(path)
        if not stat.S_ISREG(info.st_mode):
            raise Refused('%s %s is not a regular file' % (what, path))
        with open(path, 'rb'):
            pass
    except OSError as error:
        raise Refused('%s %s cannot be read: %s' % (what, path, error.strerror or error))
    if info.st_size > LARGEST_FILE:
        raise Refused('%s %s is %s bytes; ISO 9660 as this kit writes it holds files below '
                      '4 GiB (%s bytes)' % (what, path, number(info.st_size),
                                            number(LARGEST_FILE + 1)))
    return info.st_size


def extent(pe):
    """Bytes the file must hold for its headers, sections, resources and
    certificate table."""
    header = pe.DOS_HEADER.e_lfanew + 24 + pe.FILE_HEADER.SizeOfOptionalHeader
    needs = [pe.OPTIONAL_HEADER.SizeOfHeaders, header + 40 * pe.FILE_HEADER.NumberOfSections]
    needs += [s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData]
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    if security.VirtualAddress and security.Size:
        needs.append(security.VirtualAddress + security.Size)
    directory = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    for rtype in directory.entries if directory else []:
        for name in getattr(getattr(rtype, 'directory', None), 'entries', []):
            for lang in getattr(getattr(name, 'directory', None), 'entries', []):
                if not hasattr(lang, 'data'):
                    continue
                data = lang.data.struct
                try:
                    needs.append(pe.get_offset_from_rva(data.OffsetToData) + data.Size)
                except pefile.PEFormatError:
                    needs.append(float('inf'))
    return max(needs)


def installer_version(path, size):
    """The installer's file version (major, minor, build, revision), or None
    without version information. Only the headers and the resources are read
    (the file is mapped, not loaded): an installer of any size takes as long.
    Refuses what is not a Windows program, and one cut short."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError:
        raise Refused('installer %s is not a Windows executable' % path)
    try:
        if not pe.is_exe():
            raise Refused('installer %s is not a Windows executable' % path)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_RESOURCE']])
        need = extent(pe)
        if need > size:
            needed = 'more than it has' if need == float('inf') else number(need)
            raise Refused('the installer is cut short: %s bytes, its sections need %s' %
                          (number(size), needed))
        fixed = getattr(pe, 'VS_FIXEDFILEINFO', None)
        if not fixed:
            return None
        ms, ls = fixed[0].FileVersionMS, fixed[0].FileVersionLS
        return ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF
    finally:
        pe.close()


def installer_warning(path, version):
    if version is None:
        return ('installer %s has no version information: the launcher will offer neither an '
                'installation nor an update' % path)
    if version[0] == 0 and version[1] == 0:
        return ('installer %s declares version 0.0.%d.%d: the launcher will offer neither an '
                'installation nor an update' % ((path,) + version[2:]))
    return None


def check_launcher(path, data, arch):
    """A Windows GUI program of the given machine (the disc's is the PE32)
    carrying the icon group that autorun.inf shows."""
    try:
        pe = load(data)
    except pefile.PEFormatError:
        raise Refused('launcher %s is not a Windows program' % path)
    machine, magic, kind = ((0x14C, 0x10B, 'a 32-bit x86') if arch == 'win32'
                            else (0x8664, 0x20B, 'an x64'))
    if pe.FILE_HEADER.Machine != machine or pe.OPTIONAL_HEADER.Magic != magic:
        raise Refused('launcher %s is not %s program (the disc takes the PE32 build, '
                      'build/win32/OrvaneCD.exe)' % (path, kind))
    if not pe.is_exe() or pe.OPTIONAL_HEADER.Subsystem != 2:
        raise Refused('launcher %s is not a Windows GUI program' % path)
    if not any(r[0] == 14 and r[1] == 101 for r in resources(pe)):
        raise Refused('launcher %s has no icon group 101, which autorun.inf shows' % path)


def check_text(what, text, longest):
    if not 1 <= len(text) <= longest or not all(32 <= ord(c) < 127 for c in text):
        raise Refused('%s %r must be 1 to %d printable ASCII characters' % (what, text, longest))


def check_label(label):
    check_text('label', label, LONGEST_LABEL)
    if not label.strip(' '):
        raise Refused('label %r is all blanks' % label)
    if label != label.strip(' '):
        raise Refused('label %r begins or ends with a blank, which the file systems drop' % label)


def primary_label(label):
    """The label as ISO 9660's primary descriptor takes it: d-characters only."""
    return ''.join(c if c in D_CHARACTERS else '_' for c in label.upper())


def check_output_name(output):
    if any(ord(c) < 32 or ord(c) == 127 for c in str(output)):
        raise Refused('output %r holds a control character, which the checksum file could '
                      'not name' % str(output))


# --- the image ---------------------------------------------------------------------

def xorriso_args(label):
    return ['xorriso', '-as', 'mkisofs', '-quiet', '-J', '-joliet-long', '-R', '-V', label]


def xorriso_failure(result):
    lines = [line for line in result.stderr.splitlines() if line.strip()]
    return lines[-1].strip() if lines else 'exit status %d' % result.returncode


def graft_point(name, path):
    """NAME=PATH for xorriso, with the '\\' and '=' of the path escaped."""
    return '%s=%s' % (name, str(path).replace('\\', '\\\\').replace('=', '\\='))


def image_size(label, grafts):
    """Bytes of the image xorriso would write from (name, path) pairs."""
    result = subprocess.run(xorriso_args(label) + ['-print-size', '-graft-points'] +
                            [graft_point(name, path) for name, path in grafts],
                            capture_output=True, text=True)
    if result.returncode != 0 or not result.stdout.strip().isdigit():
        raise Refused('xorriso cannot size the image: %s' % xorriso_failure(result))
    return int(result.stdout) * BLOCK


def check_fits(size, media):
    if size > MEDIA[media]:
        raise Refused('the image would be %s bytes, more than a %s holds (%s bytes)' %
                      (number(size), media, number(MEDIA[media])))


def autorun_inf(label, action):
    # action= is AutoPlay's choice for running a copy of the disc on a
    # removable or fixed drive; for a CD, Windows shows its own.
    lines = ['[autorun]', 'open=%s' % LAUNCHER_NAME, 'icon=%s,0' % LAUNCHER_NAME,
             'action=%s' % action, 'label=%s' % label]
    return ('\r\n'.join(lines) + '\r\n').encode('ascii')


def set_primary_label(image, label):
    """xorriso writes one label into both descriptors: the primary one gets
    its d-character form."""
    with open(image, 'r+b') as iso:
        iso.seek(PRIMARY_VOLUME_DESCRIPTOR)
        descriptor = iso.read(BLOCK)
        if descriptor[:6] != b'\x01CD001':
            raise Refused('xorriso wrote no primary volume descriptor where ISO 9660 has it')
        iso.seek(PRIMARY_VOLUME_DESCRIPTOR + 40)
        iso.write(primary_label(label).ljust(32).encode('ascii'))
        iso.flush()
        os.fsync(iso.fileno())


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, 'rb') as made:
        for chunk in iter(lambda: made.read(1 << 20), b''):
            digest.update(chunk)
    return digest.hexdigest()


# --- writing without replacing -------------------------------------------------------

@contextmanager
def signals_held():
    """A step and the note of what it made, not parted by a signal."""
    old = signal.pthread_sigmask(signal.SIG_BLOCK, HELD_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


class Made:
    """What this run has made, removed again unless it is kept."""

    def __init__(self):
        self.paths = []  # (path, how to remove it), in the order made

    def add(self, path, how):
        self.paths.append((Path(path), how))

    def keep(self):
        self.paths = []

    def remove(self):
        for path, how in reversed(self.paths):
            try:
                if how == 'tree':
                    shutil.rmtree(path)
                elif how == 'folder':
                    os.rmdir(path)  # only while empty: a parent folder the kit made
                else:
                    os.unlink(path)
            except OSError:
                pass
        self.paths = []


def make_parents(folder, made):
    """Makes the missing folders above the outputs, noting each."""
    missing = []
    for parent in [folder] + list(folder.parents):
        if os.path.lexists(parent):
            if not os.path.isdir(parent):
                raise Refused('%s is not a folder, so the outputs cannot go below it' % parent)
            break
        missing.append(parent)
    for parent in reversed(missing):
        with signals_held():
            os.mkdir(parent)
            made.add(parent, 'folder')


def write_durable(path, data):
    with open(path, 'xb') as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())


def copy_durable(source, target):
    with open(source, 'rb') as src, open(target, 'xb') as out:
        shutil.copyfileobj(src, out, 1 << 20)
        out.flush()
        os.fsync(out.fileno())


class Taken(Exception):
    pass


def take_name(source, target, made):
    """Gives the file `source` the name `target` only if no file or folder has
    it: a link refuses an existing name. Where the file system has no links,
    an empty file made with O_EXCL claims the name first."""
    with signals_held():
        try:
            os.link(source, target)
        except FileExistsError:
            raise Taken(target)
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK):
                raise
            try:
                os.close(os.open(target, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644))
            except FileExistsError:
                raise Taken(target)
            made.add(target, 'file')
            os.replace(source, target)
            return
        made.add(target, 'file')


def take_folder(source, target, made):
    """The same for the disc folder: made anew (mkdir refuses an existing
    name), then filled with what the work folder holds."""
    with signals_held():
        try:
            os.mkdir(target)
        except FileExistsError:
            raise Taken(target)
        made.add(target, 'tree')
    for entry in sorted(source.iterdir()):
        os.rename(entry, target / entry.name)


# --- the disc ------------------------------------------------------------------------

def make_disc(installer, playlist, output, label, launcher, action=DEFAULT_ACTION,
              sign=None, password_file=None, timestamp=None, media='cd80', arch='win32'):
    """Returns the disc folder, the image, the checksum file and the warnings."""
    output = Path(output)
    image = output.with_name(output.name + '.iso')
    checksum = image.with_name(image.name + '.sha256')
    check_output_name(output)
    for target in (output, image, checksum):
        if os.path.lexists(target):
            raise Refused('%s already exists; choose another output or remove it' % target)
    check_label(label)
    check_text('action', action, 100)
    if media not in MEDIA:
        raise Refused('medium %r is not one of %s' % (media, ', '.join(MEDIA)))
    if sign is None and (password_file is not None or timestamp is not None):
        raise Refused('--sign-password-file and --timestamp act only with --sign')
    if shutil.which('xorriso') is None:
        raise Refused('xorriso is not installed (run scripts/setup)')
    if sign is not None and shutil.which('osslsigncode') is None:
        raise Refused('osslsigncode is not installed (run scripts/setup)')

    if regular_file(launcher, 'launcher') > LARGEST_LAUNCHER:
        raise Refused('launcher %s is larger than any build of the launcher' % launcher)
    launcher_data = Path(launcher).read_bytes()
    check_launcher(launcher, launcher_data, arch)
    installer_size = regular_file(installer, 'installer')
    playlist_size = regular_file(playlist, 'playlist')
    warnings = [installer_warning(installer, installer_version(installer, installer_size))]
    if playlist_size == 0:
        warnings.append('playlist %s is empty: the player will be handed nothing to play' %
                        playlist)
    if sign is not None:
        try:
            launcher_data = sign_launcher(launcher_data, sign, password_file, timestamp)
        except SigningError as error:
            raise Refused(str(error))
    inf = autorun_inf(label, action)

    # The exact image, signed launcher and autorun.inf included, sized before
    # anything is written beside the outputs.
    with tempfile.TemporaryDirectory(prefix='orvane-kit.') as stage:
        stage = Path(stage)
        (stage / 'launcher').write_bytes(launcher_data)
        (stage / 'autorun.inf').write_bytes(inf)
        size = image_size(label, [(LAUNCHER_NAME, stage / 'launcher'),
                                  ('autorun.inf', stage / 'autorun.inf'),
                                  (INSTALLER_NAME, installer), (PLAYLIST_NAME, playlist)])
    check_fits(size, media)

    made = Made()
    try:
        make_parents(output.parent, made)
        with signals_held():
            try:
                # Absolute: a path that begins with '-' would be an option to xorriso.
                work = Path(tempfile.mkdtemp(prefix='.' + output.name + '.',
                                             dir=os.path.abspath(output.parent)))
            except OSError as error:
                raise Refused('cannot write in %s: %s' % (output.parent, error.strerror))
            made.add(work, 'tree')
        disc = work / 'disc'
        (disc / INSTALLER_NAME.parent).mkdir(parents=True)
        write_durable(disc / LAUNCHER_NAME, launcher_data)
        copy_durable(installer, disc / INSTALLER_NAME)
        copy_durable(playlist, disc / PLAYLIST_NAME)
        write_durable(disc / 'autorun.inf', inf)
        made_image = work / 'disc.iso'
        result = subprocess.run(xorriso_args(label) + ['-o', str(made_image), str(disc)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Refused('xorriso failed: %s' % xorriso_failure(result))
        check_fits(made_image.stat().st_size, media)
        set_primary_label(made_image, label)
        write_durable(work / 'disc.iso.sha256',
                      ('%s  %s\n' % (sha256_of(made_image), image.name)).encode())
        take_folder(disc, output, made)
        take_name(made_image, image, made)
        take_name(work / 'disc.iso.sha256', checksum, made)
        with signals_held():
            # The outputs and their parent folders stay; the work folder goes.
            made.paths = [(path, how) for path, how in made.paths if path == work]
            made.remove()
    except Taken as taken:
        made.remove()
        raise Refused('%s appeared while the disc was made (another run on the same output?); '
                      'it is left as it is, and nothing of this run remains' % taken)
    except BaseException:
        made.remove()
        raise
    return output, image, checksum, [w for w in warnings if w]
