"""Writing files so that a crash at any moment leaves either the old file or the complete new
one under a name, never a part of one.

A new file is written under a temporary name in the directory of its final name, flushed
and fsynced, then renamed into place, and the directory is fsynced so that the rename itself
survives a power cut. (The migration writes its files relative to directory descriptors:
halcyra_pqc.migration._fs.)
"""

import os
import secrets
import shutil
import stat

_TEMP_PREFIX = ".hpqc-tmp-"


def fsync_directory(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


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
