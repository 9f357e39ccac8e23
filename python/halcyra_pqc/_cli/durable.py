"""Writing files so that a crash at any moment leaves either the old file or the complete new
one under a name, never a part of one.

A new file is written under a temporary name in the directory of its final name, flushed
and fsynced, then renamed into place, and the directory is fsynced so that the rename itself
survives a power cut. Temporary names have one fixed shape, so leftovers of a killed process
are recognised and removed, and never taken for data.
"""

import errno
import os
import re
import secrets
import shutil
import stat

_TEMP_PREFIX = ".hpqc-tmp-"
_TEMP_NAME = re.compile(r"\.hpqc-tmp-[0-9a-f]{16}")
# Links that fail for these reasons fall back to a copy (another file system, a file system
# without hard links, or a file with too many links).
_NO_LINK = {errno.EXDEV, errno.EPERM, errno.ENOTSUP, errno.EMLINK, errno.EOPNOTSUPP}


def is_temporary(name: str) -> bool:
    return _TEMP_NAME.fullmatch(name) is not None


def fsync_directory(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_directories(path: str) -> list[str]:
    """Creates `path` and its missing parents; returns the directories whose entries changed
    (the parents of those created), which the caller fsyncs."""
    missing = []
    current = path
    while not os.path.isdir(current):
        missing.append(current)
        parent = os.path.dirname(current)
        if parent == current:
            break
        current = parent
    changed = []
    for directory in reversed(missing):
        try:
            os.mkdir(directory)
        except FileExistsError:
            if not os.path.isdir(directory):
                raise
            continue
        changed.append(os.path.dirname(directory))
    return changed


def write_temporary(directory: str, data, *, mode: int = 0o666, owner: tuple[int, int] | None = None,
                    exact_mode: bool = False) -> str:
    """Writes `data` (bytes, or a binary file object to copy from) to a new temporary file in
    `directory`, fsynced; returns its path. `mode` goes through the umask unless `exact_mode`;
    `owner` (uid, gid) is applied when given."""
    path, fd = write_unsynced(directory, data, mode=mode, owner=owner, exact_mode=exact_mode)
    try:
        os.fsync(fd)
    except BaseException:
        remove_quietly(path)
        raise
    finally:
        os.close(fd)
    return path


def write_unsynced(directory: str, data, *, mode: int = 0o666, owner: tuple[int, int] | None = None,
                   exact_mode: bool = False) -> tuple[str, int]:
    """write_temporary() without the fsync: returns the path and the open descriptor, which
    the caller fsyncs (with others at once) and closes."""
    path = os.path.join(directory, _TEMP_PREFIX + secrets.token_hex(8))
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
    try:
        if isinstance(data, (bytes, bytearray, memoryview)):
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        else:
            with open(fd, "wb", closefd=False) as out:
                shutil.copyfileobj(data, out, 1 << 20)
        if exact_mode:
            os.fchmod(fd, mode)
        if owner is not None:
            os.fchown(fd, *owner)
    except BaseException:
        os.close(fd)
        remove_quietly(path)
        raise
    return path, fd


def remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def replace_file(path: str, data, *, mode: int | None = None) -> None:
    """Atomically puts `data` at `path`, replacing a file there (whose mode it keeps) or
    creating one (mode 0o666 less the umask, or `mode`)."""
    directory = os.path.dirname(os.path.abspath(path))
    exact = False
    if mode is None:
        try:
            mode, exact = stat.S_IMODE(os.stat(path).st_mode), True
        except FileNotFoundError:
            mode = 0o666
    temp = write_temporary(directory, data, mode=mode, exact_mode=exact)
    try:
        os.rename(temp, path)
    except BaseException:
        remove_quietly(temp)
        raise
    fsync_directory(directory)


def create_file(path: str, data: bytes, *, mode: int) -> None:
    """Puts `data` at `path`, complete and durable, only if nothing exists there: a file that
    appears in the meantime is never replaced (FileExistsError)."""
    directory = os.path.dirname(os.path.abspath(path))
    temp = write_temporary(directory, data, mode=mode)
    try:
        # link() fails when the name exists, where rename() would replace it.
        os.link(temp, path)
    finally:
        remove_quietly(temp)
    fsync_directory(directory)


def keep_original(fd: int, data: bytes, backup_root: str, relative: str) -> tuple[str, list[str]]:
    """Makes sure the file open as `fd` (read as `data`) has a copy under
    backup_root, at `relative` or, when another file already holds that name, at
    `relative.~N~`. The copy is a hard link to the very file read where possible, else a
    durable copy of `data`. Returns the name used, relative to backup_root, and the
    directories whose entries changed, to be fsynced before the original is replaced."""
    opened = os.fstat(fd)
    target = os.path.join(backup_root, relative)
    changed = make_directories(os.path.dirname(target))
    number = 0
    while True:
        name = relative if number == 0 else f"{relative}.~{number}~"
        path = os.path.join(backup_root, name)
        try:
            existing = os.lstat(path)
        except FileNotFoundError:
            existing = None
        if existing is None:
            if _link_or_copy(fd, data, path, opened):
                return name, changed + [os.path.dirname(path)]
        elif (existing.st_dev, existing.st_ino) == (opened.st_dev, opened.st_ino) or (
            stat.S_ISREG(existing.st_mode) and existing.st_size == len(data) and _read(path) == data
        ):
            # Kept by an earlier, interrupted run.
            return name, changed
        number += 1


def _link_or_copy(fd: int, data: bytes, path: str, opened: os.stat_result) -> bool:
    """Puts the file open as `fd` at `path` (False when something took the name first)."""
    try:
        # Through /proc the link is made to the open file itself, so a file put at the
        # original's name since it was read cannot be linked in its place.
        os.link(f"/proc/self/fd/{fd}", path, follow_symlinks=True)
        return True
    except FileExistsError:
        return False
    except OSError as error:
        if error.errno not in _NO_LINK and error.errno != errno.ENOENT:  # ENOENT: no /proc
            raise
    temp = write_temporary(os.path.dirname(path), data, mode=stat.S_IMODE(opened.st_mode), exact_mode=True)
    try:
        os.link(temp, path)
    except FileExistsError:
        return False
    finally:
        remove_quietly(temp)
    return True


def _read(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read()
