"""Files and directories reached through directory descriptors, one component at a time and
never through a link, and new files that appear complete or not at all.

A path given as text is resolved by the kernel component by component at each use, so
whoever can write a directory on it can swap that directory for a link between two uses.
Here every directory is opened once relative to its parent's descriptor with O_NOFOLLOW,
checked to be the very directory that was listed (its device and inode), and every file is
then opened, created, renamed or removed relative to that descriptor.

A new file is created under a temporary name beside its final one, exclusively (an existing
name, a user's file, is never taken over), written, fsynced, then renamed into place, and
its directory fsynced. Temporary names carry a prefix of 128 random bits that the run
records in its journal before it creates any: a later run removes exactly the leftovers of
recorded prefixes, and no user's file can bear one by accident.
"""

import errno
import os
import re
import secrets

# Opening a directory or a file for reading: never through a link, never blocking on a FIFO
# that took a file's name, never inherited by a program this process might run.
OPEN_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
OPEN_FILE = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC

TEMPORARY_START = ".hpqc-tmp-"
_PREFIX = re.compile(r"\.hpqc-tmp-[0-9a-f]{32}")
_SUFFIX = re.compile(r"\.[0-9a-f]{12}")

# (device, inode): which directory or file a descriptor or listing entry is.
Node = tuple[int, int]


class Moved(OSError):
    """A directory is no longer the one that was listed (replaced, or swapped for a link)."""

    def __init__(self) -> None:
        super().__init__(errno.ESTALE, "a directory on its path was replaced since it was listed (left as it is)")


def node(info: os.stat_result) -> Node:
    return (info.st_dev, info.st_ino)


def open_directory(name: str, dir_fd: int | None = None, expected: Node | None = None) -> int:
    """Opens directory `name` (relative to dir_fd), refusing a link; with `expected`,
    refusing any other directory than that one (Moved)."""
    try:
        fd = os.open(name, OPEN_DIRECTORY, dir_fd=dir_fd)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR) and expected is not None:
            raise Moved() from None
        raise
    if expected is not None and node(os.fstat(fd)) != expected:
        os.close(fd)
        raise Moved()
    return fd


def split(relative: str) -> tuple[str, str]:
    """("dir/sub", "name") of "dir/sub/name"; ("", "name") at the top."""
    directory, _, name = relative.rpartition("/")
    return directory, name


def parent_of(relative_directory: str) -> str:
    return relative_directory.rpartition("/")[0]


class Tree:
    """Descriptors of the directories under one root, each opened relative to its parent and
    checked against the node it is expected to be.

    At most `limit` stay open besides the pinned ones: a descriptor that is not pinned is good
    only until the next call, which may close it; a pinned one stays open until forget()."""

    def __init__(self, root_fd: int, expected: dict[str, Node] | None = None, *, limit: int = 16) -> None:
        self._root = root_fd
        self._fds: dict[str, int] = {}
        self._pinned: dict[str, int] = {}
        self.expected = expected if expected is not None else {}
        self._limit = limit

    def directory(self, relative: str, *, pin: bool = False) -> int:
        """The descriptor of directory `relative` ("" for the root)."""
        if not relative:
            return self._root
        fd = self._pinned.get(relative) or self._fds.get(relative)
        if fd is None:
            if len(self._fds) >= self._limit:
                self._close(self._fds)  # paths come in order: the next ones mostly share few parents
            parent, name = split(relative)
            fd = open_directory(name, self.directory(parent), self.expected.get(relative))
            self._fds[relative] = fd
        if pin and relative not in self._pinned:
            self._pinned[relative] = self._fds.pop(relative)
        return fd

    def forget(self) -> None:
        """Closes every descriptor but the root's, which the caller owns."""
        self._close(self._fds)
        self._close(self._pinned)

    @staticmethod
    def _close(fds: dict[str, int]) -> None:
        for fd in fds.values():
            os.close(fd)
        fds.clear()


def read_up_to(fd: int, size: int) -> bytes:
    """Up to `size` bytes from the file's current position (fewer at its end)."""
    parts = []
    while size > 0:
        part = os.read(fd, min(size, 1 << 20))
        if not part:
            break
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def write_all(fd: int, data) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def copy_contents(source_fd: int, target_fd: int) -> int:
    """Copies a whole file from its start; returns the bytes copied."""
    os.lseek(source_fd, 0, os.SEEK_SET)
    total = 0
    while chunk := os.read(source_fd, 1 << 20):
        write_all(target_fd, chunk)
        total += len(chunk)
    return total


def new_prefix() -> str:
    """A prefix of temporary names for one run, to be recorded before it is used."""
    return TEMPORARY_START + secrets.token_hex(16)


def is_prefix(text: object) -> bool:
    return isinstance(text, str) and _PREFIX.fullmatch(text) is not None


def leftover_matcher(prefixes: set[str]):
    """Whether a name is a temporary name of one of `prefixes`."""
    size = len(TEMPORARY_START) + 32

    def matches(name: str) -> bool:
        return name[:size] in prefixes and _SUFFIX.fullmatch(name, size) is not None

    return matches


def create_temporary(dir_fd: int, prefix: str, mode: int = 0o600) -> tuple[str, int]:
    """A new, empty file under a temporary name of `prefix` in the directory: (name, fd)."""
    for _ in range(8):
        name = f"{prefix}.{secrets.token_hex(6)}"
        try:
            return name, os.open(name, _CREATE, mode, dir_fd=dir_fd)
        except FileExistsError:
            continue  # another worker's, by a chance of 2**-48; the name stays theirs
    raise FileExistsError(errno.EEXIST, "no free temporary name")


def create_exclusive(dir_fd: int, name: str, mode: int = 0o600) -> int:
    return os.open(name, _CREATE, mode, dir_fd=dir_fd)


def remove_quietly(dir_fd: int, name: str) -> None:
    try:
        os.unlink(name, dir_fd=dir_fd)
    except FileNotFoundError:
        pass


def lstat_or_none(dir_fd: int, name: str) -> os.stat_result | None:
    try:
        return os.lstat(name, dir_fd=dir_fd)
    except FileNotFoundError:
        return None


def replace_in(dir_fd: int, name: str, data: bytes, *, mode: int = 0o600) -> None:
    """Atomically puts `data` at `name` in a directory that only this process writes (the
    state directory): through the fixed name `name`.tmp, which a crash may leave behind."""
    temporary = name + ".tmp"
    remove_quietly(dir_fd, temporary)
    fd = create_exclusive(dir_fd, temporary, mode)
    try:
        write_all(fd, data)
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        remove_quietly(dir_fd, temporary)
        raise
    os.close(fd)
    os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    os.fsync(dir_fd)
