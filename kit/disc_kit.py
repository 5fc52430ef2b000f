"""The disc kit's whole run, input to image, for kit/make-disc and the
conformance bundle: every input checked before anything is written, the
image's exact size checked against the medium before a byte is copied, the
installer, the tracks and the image streamed (memory does not grow with their
size), and the outputs taken under their final names only where those names
are free, so that nothing is ever replaced and a run that fails or is stopped
leaves nothing of its own. With SOURCE_DATE_EPOCH set, the same inputs give the
same bytes, whoever makes the disc."""
import hashlib
import os
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

import content
import outputs
import version_info
from disc_reader import Unreadable
from pe_checks import load, pefile, resources
from signing import SigningError, certificate_table, is_signed, sign_launcher
from signing import signature_fault, signing_advice, trusted_root

KIT_VERSION = 'make-disc 2.1'
LAUNCHER_NAME = 'OrvaneCD.exe'
INSTALLER_NAME = 'Orvane Installer/ervast_orvane.exe'
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
LATEST_DATE = 5869583999  # 2155-12-31 23:59:59 UTC
D_CHARACTERS = set('ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_')
PRIMARY_VOLUME_DESCRIPTOR = 16 * BLOCK
# The longest name the run gives beside the output's: NAME.iso.sha256.
LONGEST_SUFFIX = len('.iso.sha256')
UNSIGNED_LAUNCHER = ('the launcher on the disc is unsigned: Windows 11 under Smart App Control '
                     'blocks it, and started from a downloaded image it meets SmartScreen\'s '
                     '"Windows protected your PC" first; sign it with --sign or --sign-token')
UNSIGNED_INSTALLER = ('installer %s carries no Authenticode signature: Windows 11 under Smart App '
                      'Control blocks it when the launcher starts it, and from a downloaded image '
                      'SmartScreen warns before it runs')


class Refused(Exception):
    """A run refused, in one line; `warnings` were found before it."""

    def __init__(self, why, warnings=()):
        super().__init__(why)
        self.warnings = list(warnings)


def number(count):
    return '{:,}'.format(count)


class Disc:
    """What a run made, and what it says about it."""

    def __init__(self, output, image, checksum, version, warnings):
        self.output, self.image, self.checksum = output, image, checksum
        self.version, self.warnings = version, warnings


# --- the inputs --------------------------------------------------------------------

def regular_file(path, what):
    """The size of a readable regular file (a link is followed: its target is
    what goes on the disc); anything else (a folder, a pipe, a device) is
    refused before it is read."""
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
    return info


def extent(pe):
    """Bytes the file must hold for its headers, sections, resources and
    certificate table."""
    header = pe.DOS_HEADER.e_lfanew + 24 + pe.FILE_HEADER.SizeOfOptionalHeader
    needs = [pe.OPTIONAL_HEADER.SizeOfHeaders, header + 40 * pe.FILE_HEADER.NumberOfSections]
    needs += [s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData]
    offset, size = certificate_table(pe)
    if offset and size:
        needs.append(offset + size)
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


def read_installer(path, size):
    """The installer's version as the launcher will see it (a Finding) and
    whether it is signed. Only the headers and the resources are read (the
    file is mapped, not loaded): an installer of any size takes as long.
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
        return version_info.judge(path, *version_info.versions(pe)), bool(certificate_table(pe)[1])
    finally:
        pe.close()


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
    try:
        icons = any(r[0] == 14 and r[1] == 101 for r in resources(pe))
    except pefile.PEFormatError as error:
        raise Refused('launcher %s is damaged: %s' % (path, error))
    if not icons:
        raise Refused('launcher %s has no icon group 101, which autorun.inf shows' % path)


def signature_findings(what, path, signed, unsigned_warning):
    """What Windows will make of a program's signature: ([why it counts as
    unsigned], [a warning about a signature that holds]). A signature that
    does not verify over the file's own bytes is as none. Only the headers
    are read here; osslsigncode streams the file."""
    if not signed:
        return [unsigned_warning], []
    fault = signature_fault(path)
    if fault:
        return ['%s carries an Authenticode signature that does not verify: %s; Windows takes '
                'it for unsigned' % (what, fault)], []
    if not trusted_root(path):
        return [], ['%s is signed by a chain that ends in a certificate no Windows trusts as a '
                    'root (a self-signed or private one): Windows names no publisher for it' %
                    what]
    return [], []


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


def nearest_folder(path):
    while not os.path.isdir(path) and path != path.parent:
        path = path.parent
    return path


def resolve_output(given):
    """The disc folder's path, its parent's links and '..' resolved once, so
    that every check and every write meet the same place. Refuses a name that
    names no new folder, holds a control character, is not UTF-8 (the
    checksum file names the image) or is too long for the file system."""
    # out/summer.iso names the image: the folder is out/summer.
    if Path(given).suffix.lower() == '.iso' and Path(given).stem not in ('', '.', '..'):
        given = Path(given).with_suffix('')
    name = Path(given).name
    if name in ('', '.', '..'):
        raise Refused('output %r names no folder to make' % str(given))
    if any(ord(c) < 32 or ord(c) == 127 for c in str(given)):
        raise Refused('output %r holds a control character, which the checksum file could '
                      'not name' % str(given))
    if not content.is_utf8(name):
        raise Refused('output %s is not valid UTF-8, which the checksum file needs' %
                      content.shown(name))
    parent = Path(os.path.realpath(Path(given).parent))
    try:
        longest = os.pathconf(nearest_folder(parent), 'PC_NAME_MAX')
    except (OSError, ValueError):
        longest = 255
    if len(os.fsencode(name)) + LONGEST_SUFFIX > longest:
        raise Refused('output name %s is too long: with %s the file system\'s %d bytes are '
                      'exceeded' % (name, '.iso.sha256', longest))
    return parent / name


def source_date_epoch():
    """SOURCE_DATE_EPOCH, the time every date of the disc is to have, or None."""
    value = os.environ.get('SOURCE_DATE_EPOCH')
    if value is None:
        return None
    if not value.isdigit():
        raise Refused('SOURCE_DATE_EPOCH %r is not a number of seconds' % value)
    # An ISO 9660 directory record counts years from 1900 in one byte.
    if int(value) > LATEST_DATE:
        raise Refused('SOURCE_DATE_EPOCH %s lies after 2155, the last year ISO 9660 records '
                      '(seconds are meant, not milliseconds)' % value)
    return int(value)


# --- the image ---------------------------------------------------------------------

def xorriso_args(label):
    # -p and -A: the kit names itself where xorriso would name its own version.
    # -r and the modes: owners 0, files readable by all and folders open to
    # all, whoever makes the disc, from whatever files, with whatever umask.
    # -input-charset: the names are UTF-8 whatever the locale says; under C
    # xorriso would write every other character as '_' into the Joliet tree,
    # the one Windows reads.
    return ['xorriso', '-as', 'mkisofs', '-quiet', '-input-charset', 'UTF-8', '-J',
            '-joliet-long', '-r', '-file-mode', '0444', '-dir-mode', '0555', '-V', label,
            '-p', KIT_VERSION.upper(), '-A', KIT_VERSION.upper()]


def xorriso_failure(stderr, returncode):
    lines = [line for line in stderr.splitlines() if line.strip()]
    return lines[-1].strip() if lines else 'exit status %d' % returncode


def graft_point(name, path):
    """NAME=PATH for xorriso, with the '\\' and '=' of both escaped."""
    def escape(text):
        return str(text).replace('\\', '\\\\').replace('=', '\\=')
    return '%s=%s' % (escape(name), escape(path))


def image_size(label, grafts, stage):
    """Bytes of the image xorriso would write from (name on the disc, path)
    pairs, named in a list file (any number of tracks)."""
    listing = stage / 'paths'
    listing.write_bytes(b''.join(os.fsencode(graft_point(n, p)) + b'\n' for n, p in grafts))
    result = subprocess.run(xorriso_args(label) + ['-print-size', '-graft-points',
                                                   '-path-list', str(listing)],
                            capture_output=True, text=True, errors='replace')
    if result.returncode != 0 or not result.stdout.strip().isdigit():
        raise Refused('xorriso cannot size the image: %s' %
                      xorriso_failure(result.stderr, result.returncode))
    return int(result.stdout) * BLOCK


def check_fits(size, media):
    if size > MEDIA[media]:
        raise Refused('the image would be %s bytes, more than a %s holds (%s bytes)' %
                      (number(size), media, number(MEDIA[media])))


def write_image(label, grafts, stage, image, expected, epoch, report):
    """xorriso writes the image from (name on the disc, path) pairs, as they
    were sized, and the kit takes it as it comes: the primary descriptor's
    label set, hashed and written once. Returns the image's SHA-256. With
    SOURCE_DATE_EPOCH, xorriso takes it for the volume's dates, and every file
    and folder is given it."""
    listing = stage / 'paths'
    listing.write_bytes(b''.join(os.fsencode(graft_point(n, p)) + b'\n' for n, p in grafts))
    dates = [] if epoch is None else ['--', '-alter_date_r', 'm', '=%d' % epoch, '/', '--']
    # xorriso writes one label into both descriptors: the primary one gets its
    # d-character form.
    patch = (PRIMARY_VOLUME_DESCRIPTOR, b'\x01CD001\x01' + bytes(33) +
             primary_label(label).ljust(32).encode('ascii'))
    digest, done = hashlib.sha256(), 0
    with tempfile.TemporaryFile() as errors, open(image, 'xb') as out:
        writer = subprocess.Popen(xorriso_args(label) + ['-o', '-', '-graft-points',
                                                         '-path-list', str(listing)] + dates,
                                  stdout=subprocess.PIPE, stderr=errors)
        try:
            for chunk in iter(lambda: writer.stdout.read(1 << 20), b''):
                chunk = patched(chunk, done, *patch)
                digest.update(chunk)
                try:
                    out.write(chunk)
                except OSError as error:  # a full disk: say where, not in sectors
                    raise Refused('cannot write the image in %s: %s' % (
                        image.parent.parent, error.strerror or error))
                done += len(chunk)
                report('writing the image', done, expected)
            writer.wait()
        finally:
            # Stopped meanwhile (a signal, a failure): xorriso ends with the
            # run, not on its own into an image nobody will take.
            if writer.poll() is None:
                writer.kill()
                writer.wait()
            writer.stdout.close()
        if writer.returncode != 0:
            errors.seek(0)
            raise Refused('xorriso failed: %s' % xorriso_failure(
                errors.read().decode(errors='replace'), writer.returncode))
        if done <= PRIMARY_VOLUME_DESCRIPTOR:
            raise Refused('xorriso wrote no primary volume descriptor where ISO 9660 has it')
        out.flush()
        os.fsync(out.fileno())
    return digest.hexdigest()


def patched(chunk, at, where, fields):
    """`chunk` (the image's bytes from offset `at`) with the label of
    `fields` laid over the image at `where`: its first 7 bytes (type,
    identifier, version) must be there as they are, the 33 after them are
    left, the rest written."""
    start, end = max(where, at), min(where + len(fields), at + len(chunk))
    if start >= end:
        return chunk
    chunk = bytearray(chunk)
    for offset in range(start, end):
        want = fields[offset - where]
        if offset - where < 7:
            if chunk[offset - at] != want:
                raise Refused('xorriso wrote no primary volume descriptor where ISO 9660 has it')
        elif offset - where >= 40:
            chunk[offset - at] = want
    return bytes(chunk)


def autorun_inf(label, action):
    # action= is AutoPlay's choice for running a copy of the disc on a
    # removable or fixed drive; for a CD, Windows shows its own.
    lines = ['[autorun]', 'open=%s' % LAUNCHER_NAME, 'icon=%s,0' % LAUNCHER_NAME,
             'action=%s' % action, 'label=%s' % label]
    return ('\r\n'.join(lines) + '\r\n').encode('ascii')


def lay_out(disc, files, folders, epoch, report):
    """The disc folder: every file (path on the disc, source path or bytes,
    its time) copied with its time, then every folder given the epoch's."""
    total, done = sum(source.stat().st_size for _, source, _ in files
                      if isinstance(source, Path)), 0

    def copied(count):
        nonlocal done
        done += count
        report('copying', done, total)

    for folder in folders:
        (disc / folder).mkdir(parents=True, exist_ok=True)
    for name, source, mtime in files:
        (disc / name).parent.mkdir(parents=True, exist_ok=True)
        if isinstance(source, Path):
            outputs.copy_durable(source, disc / name, mtime, copied)
        else:
            outputs.write_durable(disc / name, source, mtime)
    if epoch is not None:
        for folder in sorted({Path(f) for f in folders} | {Path(n).parent for n, _, _ in files},
                             key=lambda p: -len(p.parts)):
            os.utime(disc / folder, (epoch, epoch))


# --- the disc ------------------------------------------------------------------------

class Plan:
    """Everything a run is to write, checked and sized; nothing written yet."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def need(self, block):
        """Bytes the outputs take where they go, with file system blocks of
        `block` bytes (the folder's files and folders, the image)."""
        def blocks(size):
            return -(-size // block) * block
        need = 0
        if 'folder' in self.wanted:
            need += sum(blocks(len(source) if isinstance(source, bytes) else source.stat().st_size)
                        for _, source, _ in self.files)
            need += block * (len(self.folders) + 2)
        if 'image' in self.wanted:
            need += self.size + 2 * block
        return need


def plan_disc(installer, playlist, output, label, launcher, action=DEFAULT_ACTION, signer=None,
              media='cd80', arch='win32', tracks=(), require_signed=False, keep_hidden=False,
              wanted=('folder', 'image')):
    """Checks every input and sizes the exact image; returns a Plan, or
    raises Refused. Writes nothing beside the outputs."""
    output = resolve_output(output)
    image = output.with_name(output.name + '.iso')
    checksum = image.with_name(image.name + '.sha256')
    targets = [output] if 'folder' in wanted else []
    targets += [image, checksum] if 'image' in wanted else []
    for target in targets:
        if os.path.lexists(target):
            raise Refused('%s already exists; choose another output or remove it' % target)
    check_label(label)
    check_text('action', action, 100)
    if media not in MEDIA:
        raise Refused('medium %r is not one of %s' % (media, ', '.join(MEDIA)))
    if shutil.which('xorriso') is None:
        raise Refused('xorriso is not installed (run scripts/setup)')
    if signer is not None and shutil.which('osslsigncode') is None:
        raise Refused('osslsigncode is not installed (run scripts/setup)')
    epoch = source_date_epoch()
    now = time.time() if epoch is None else epoch

    # The inputs, each read once and checked before anything is written; a
    # link is followed, so that what is sized is what is copied.
    launcher_info = regular_file(launcher, 'launcher')
    if launcher_info.st_size > LARGEST_LAUNCHER:
        raise Refused('launcher %s is larger than any build of the launcher' % launcher)
    launcher_data = Path(launcher).read_bytes()
    check_launcher(launcher, launcher_data, arch)
    installer_info = regular_file(installer, 'installer')
    playlist_info = regular_file(playlist, 'playlist')
    installer_path = Path(os.path.realpath(installer))
    playlist_path = Path(os.path.realpath(playlist))
    finding, installer_signed = read_installer(installer, installer_info.st_size)
    warnings = list(finding.warnings)
    try:
        left_out = None if keep_hidden else []
        entries, merged = content.gather(tracks, LARGEST_FILE, left_out)
    except content.ContentError as error:
        raise Refused(str(error))
    if left_out:
        warnings.append('left out %d file%s and folder%s that systems leave in content folders '
                        '(.DS_Store, ._*, Thumbs.db, desktop.ini, .git, .svn; --keep-hidden '
                        'keeps them): %s' % (len(left_out), '' if len(left_out) == 1 else 's',
                                             '' if len(left_out) == 1 else 's',
                                             ', '.join(content.shown(p) for p in left_out[:3]) +
                                             (', ...' if len(left_out) > 3 else '')))
    warnings += ['content %s goes into the folder /%s on the disc: their names differ only in '
                 'letter case, which Windows does not tell apart' % (content.shown(source), folder)
                 for folder, source in merged]
    playlist_data = playlist_path.read_bytes() if playlist_info.st_size <= 1 << 20 else b''
    if playlist_info.st_size == 0:
        warnings.append('playlist %s is empty: the player will be handed nothing to play' %
                        playlist)
    warnings += content.playlist_findings(playlist, playlist_data, list(content.DISC_OWN_FILES) +
                                          [e.disc_path for e in entries if not e.is_folder])
    if signer is not None:
        try:
            launcher_data = sign_launcher(launcher_data, signer)
        except SigningError as error:
            raise Refused(str(error))
        warnings += signing_advice(signer)
    with tempfile.NamedTemporaryFile(prefix='orvane-kit.', suffix='.exe') as copy:
        copy.write(launcher_data)
        copy.flush()
        unsigned, untrusted = signature_findings('the launcher on the disc', copy.name,
                                                 is_signed(launcher_data), UNSIGNED_LAUNCHER)
    launcher_signed = not unsigned
    installer_unsigned, installer_untrusted = signature_findings(
        'installer %s' % installer, installer_path, installer_signed,
        UNSIGNED_INSTALLER % installer)
    unsigned += installer_unsigned
    if unsigned and require_signed:
        raise Refused('%s; --require-signed asks for a signed disc' % unsigned[0])
    warnings += unsigned + untrusted + installer_untrusted
    inf = autorun_inf(label, action)

    def dated(info):
        return info.st_mtime if epoch is None else epoch

    files = [(LAUNCHER_NAME, launcher_data, dated(launcher_info)), ('autorun.inf', inf, now),
             (INSTALLER_NAME, installer_path, dated(installer_info)),
             (PLAYLIST_NAME, playlist_path, dated(playlist_info))]
    files += [(e.disc_path, Path(e.source), e.mtime if epoch is None else epoch)
              for e in entries if not e.is_folder]
    folders = [e.disc_path for e in entries if e.is_folder]
    empty = [e.disc_path for e in content.empty_folders(entries)]

    # The exact image, signed launcher, autorun.inf and tracks included, sized
    # before anything is written beside the outputs.
    with tempfile.TemporaryDirectory(prefix='orvane-kit.') as stage:
        size = image_size(label, stage_grafts(Path(stage), files, empty), Path(stage))
    check_fits(size, media)
    return Plan(output=output, image=image, checksum=checksum, label=label, media=media,
                files=files, folders=folders + ['Orvane Installer'], empty=empty, size=size,
                epoch=epoch, now=now, warnings=warnings, version=finding.summary,
                launcher_sha256=hashlib.sha256(launcher_data).hexdigest(),
                launcher_signed=launcher_signed, tracks=sum(not e.is_folder for e in entries),
                wanted=tuple(wanted))


def stage_grafts(stage, files, empty):
    """(name on the disc, path) for xorriso, the launcher and autorun.inf
    written into `stage`, an empty folder standing for each empty one."""
    (stage / 'empty').mkdir()
    grafts = []
    for index, (name, source, _) in enumerate(files):
        if isinstance(source, bytes):
            (stage / str(index)).write_bytes(source)
            source = stage / str(index)
        grafts.append((name, source))
    return grafts + [(name, stage / 'empty') for name in empty]


def free_space(folder):
    """(bytes free to this user, block size) of the file system of `folder`,
    or the nearest folder above it that exists."""
    info = os.statvfs(nearest_folder(folder))
    return info.f_bavail * info.f_frsize, info.f_frsize or BLOCK


def check_space(plan):
    free, block = free_space(plan.output.parent)
    if plan.need(block) > free:
        raise Refused('%s has %s MB free; the outputs need %s MB there%s' % (
            nearest_folder(plan.output.parent), number(free // 10 ** 6),
            number(-(-plan.need(block) // 10 ** 6)),
            '' if len(plan.wanted) == 1 else ' (--image-only or --folder-only makes one of them)'))


def check_made(target):
    """The disc as Windows will read it, before it takes its name: what the
    kit wrote wrong is a refusal, and nothing is left."""
    import disc_check  # it reads discs with this module's readers of programs
    try:
        faults = disc_check.check(target, layout_only=True).faults(disc_check.LAYOUT)
    except Unreadable as unreadable:
        faults = [str(unreadable)]
    if faults:
        raise Refused('the disc made fails its own check: %s' % faults[0])


def write_disc(plan, report=None, on_made=None):
    """Makes the outputs of a Plan; returns a Disc. `on_made` is called once
    they are in place, signals still held."""
    report = report or (lambda what, done, total: None)
    output, image, checksum = plan.output, plan.image, plan.checksum
    warnings = list(plan.warnings)
    made = outputs.Made()
    try:
        try:
            outputs.make_parents(output.parent, made)
        except outputs.NotAFolder as error:
            raise Refused('%s is not a folder, so the outputs cannot go below it' % error)
        stale = outputs.remove_stale_work(output.parent, output.name)
        warnings += ['removed %s, the work folder of an earlier run that was stopped outright'
                     % folder for folder in stale]
        try:
            work = outputs.make_work_folder(output.parent, output.name, made)
        except OSError as error:
            raise Refused('cannot write in %s: %s' % (output.parent, error.strerror))
        if 'folder' in plan.wanted:
            disc = work / 'disc'
            disc.mkdir()
            lay_out(disc, plan.files, plan.folders, plan.epoch, report)
        if 'image' in plan.wanted:
            stage = work / 'stage'
            stage.mkdir()
            made_image = work / 'disc.iso'
            sha256 = write_image(plan.label, stage_grafts(stage, plan.files, plan.empty),
                                 stage, made_image, plan.size, plan.epoch, report)
            check_fits(made_image.stat().st_size, plan.media)
            outputs.write_durable(work / 'disc.iso.sha256', ('%s  %s\n' % (
                sha256, image.name)).encode(), plan.now)
        check_made(made_image if 'image' in plan.wanted else disc)
        if 'folder' in plan.wanted:
            outputs.take_folder(disc, output, made)
        if 'image' in plan.wanted:
            outputs.take_name(made_image, image, made)
            outputs.take_name(work / 'disc.iso.sha256', checksum, made)
        with outputs.signals_held():
            # The outputs and their parent folders stay; the work folder goes.
            made.paths = [(path, how) for path, how in made.paths if path == work]
            made.remove()
            # Still held: the caller may let a signal that comes now go, so
            # that none reports as undone what is whole.
            if on_made is not None:
                on_made()
    except outputs.Taken as taken:
        made.remove()
        raise Refused('%s appeared while the disc was made (another run on the same output?); '
                      'it is left as it is, and nothing of this run remains' % taken)
    except BaseException:
        made.remove()
        raise
    return Disc(output if 'folder' in plan.wanted else None,
                image if 'image' in plan.wanted else None,
                checksum if 'image' in plan.wanted else None, plan.version, warnings)


def make_disc(installer, playlist, output, label, launcher, action=DEFAULT_ACTION, signer=None,
              media='cd80', arch='win32', tracks=(), require_signed=False, report=None,
              on_made=None, keep_hidden=False, wanted=('folder', 'image')):
    """Plans, checks the space, and writes the disc; returns a Disc."""
    plan = plan_disc(installer, playlist, output, label, launcher, action, signer, media, arch,
                     tracks, require_signed, keep_hidden, wanted)
    check_space(plan)
    return write_disc(plan, report, on_made)
