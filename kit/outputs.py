"""Writing without replacing: the outputs are made in a work folder beside
them and take their final names only where those are still free, so that
nothing is ever replaced; what a run made is removed again when it fails or is
stopped; and a work folder that a run stopped outright (kill -9, a power cut)
left is known by its marker and lock, and removed by the next run."""
import errno
import fcntl
import os
import shutil
import signal
import tempfile
from contextlib import contextmanager
from pathlib import Path

HELD_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# In every work folder, locked while its run lives.
MARKER = '.make-disc-work'
MARKER_TEXT = b'A work folder of make-disc; the run that made it holds a lock on this file.\n'


class Taken(Exception):
    pass


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
        self.lock = None

    def add(self, path, how):
        self.paths.append((Path(path), how))

    def remove(self):
        """Removes what was made, last first, and lets the work folder's lock go."""
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
        if self.lock is not None:
            os.close(self.lock)
            self.lock = None


class NotAFolder(Exception):
    pass


def make_parents(folder, made):
    """Makes the missing folders above the outputs, noting each."""
    missing = []
    for parent in [folder] + list(folder.parents):
        if os.path.lexists(parent):
            if not os.path.isdir(parent):
                raise NotAFolder(parent)
            break
        missing.append(parent)
    for parent in reversed(missing):
        with signals_held():
            os.mkdir(parent)
            made.add(parent, 'folder')


def remove_stale_work(parent, name):
    """Removes the work folders for the output `name` that runs no longer
    alive left in `parent`: only those holding this kit's marker, whose lock
    no run holds. Returns the folders removed."""
    removed = []
    try:
        candidates = sorted(p for p in parent.iterdir() if p.name.startswith('.' + name + '.'))
    except OSError:
        return removed
    for folder in candidates:
        marker = folder / MARKER
        try:
            if folder.is_symlink() or not folder.is_dir() or marker.is_symlink():
                continue
            descriptor = os.open(marker, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            if os.read(descriptor, len(MARKER_TEXT) + 1) != MARKER_TEXT:
                continue
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue  # a run that still lives holds it
        finally:
            os.close(descriptor)
        with signals_held():
            shutil.rmtree(folder, ignore_errors=True)
        removed.append(folder)
    return removed


def make_work_folder(parent, name, made):
    """The hidden work folder beside the outputs, marked and locked for as
    long as this run lives."""
    with signals_held():
        # Absolute: a path that begins with '-' would be an option to xorriso.
        work = Path(tempfile.mkdtemp(prefix='.' + name + '.', dir=os.path.abspath(parent)))
        made.add(work, 'tree')
        made.lock = os.open(work / MARKER, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o644)
        fcntl.flock(made.lock, fcntl.LOCK_EX)
        os.write(made.lock, MARKER_TEXT)
    return work


def write_durable(path, data, mtime=None):
    with open(path, 'xb') as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def copy_durable(source, target, mtime, progress=None):
    """A copy that carries `mtime`, streamed; `progress` is told every step."""
    with open(source, 'rb') as src, open(target, 'xb') as out:
        while True:
            chunk = src.read(1 << 20)
            if not chunk:
                break
            out.write(chunk)
            if progress:
                progress(len(chunk))
        out.flush()
        os.fsync(out.fileno())
    os.utime(target, (mtime, mtime))


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
