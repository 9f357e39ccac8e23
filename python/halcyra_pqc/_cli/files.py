"""Inputs of the file commands: files or standard input, opened once and read either whole
within a size limit or a chunk at a time (streamed encryption and decryption have no limit),
and pass phrases from files only. A regular file's size is checked before anything is read;
a stream is read only until it passes the limit."""

import io
import os
import stat
from collections.abc import Callable

from .. import MAX_PASSPHRASE_BYTES
from .exits import UsageError
from .output import STANDARD_STREAM

_CHUNK = 1 << 20
_STDIN = 0

# What a refused input raises: made from the one-line message.
Failure = Callable[[str], Exception]

_KINDS = {stat.S_IFDIR: "a directory", stat.S_IFIFO: "a FIFO", stat.S_IFCHR: "a character device",
          stat.S_IFBLK: "a block device", stat.S_IFSOCK: "a socket"}


class InputError(UsageError):
    """An input that cannot be opened or read; `reason` is the message without the name."""

    def __init__(self, name: str, reason: str):
        super().__init__(f"{name}: {reason}")
        self.reason = reason


class Input:
    """One input, open for reading: `file` is a binary file object, `size` a regular file's
    size (None for a stream). Read whole with read_all(), or a chunk at a time with
    readinto() as a binary file object is. Closes with close() or as a context manager."""

    def __init__(self, name: str, fd: int):
        self.name = name
        self._peeked = b""
        try:
            info = os.fstat(fd)
        except OSError as error:
            os.close(fd)
            raise InputError(name, error.strerror) from None
        self.mode = info.st_mode
        self.size = info.st_size if stat.S_ISREG(info.st_mode) else None
        # Which regular file this is, to tell it apart from the output.
        self.identity = (info.st_dev, info.st_ino) if self.size is not None else None
        self.file = io.FileIO(fd, "rb", closefd=True)

    def read(self, limit: int) -> bytes:
        """Up to `limit` bytes: fewer only at the end of the input."""
        parts, left = [], limit
        while left > 0:
            chunk = self._read(left)
            if not chunk:
                break
            parts.append(chunk)
            left -= len(chunk)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def read_all(self, limit: int | None, what: str, *, failure: Failure = UsageError) -> bytes:
        """The rest of the input, refused with `failure` as soon as it is known to hold more
        than `limit` bytes (None: no limit): a regular file by its size, before any read."""
        if limit is not None and self.size is not None and self.size > limit:
            raise failure(_too_long(self.name, what, limit, self.size))
        if self.size is not None:
            # One read takes a file of up to 2 GiB whole, into a buffer of just its size;
            # the rest is read up to the limit, since a file may grow while it is read.
            first = self.read(self.size)
            rest = self._gather(first, limit, what, failure)
            return first if not rest else first + rest
        return self._gather(b"", limit, what, failure)

    def _gather(self, start: bytes, limit: int | None, what: str, failure: Failure) -> bytes:
        gathered = io.BytesIO()
        total = len(start)
        while chunk := self._read(_CHUNK):
            total += len(chunk)
            if limit is not None and total > limit:
                raise failure(_too_long(self.name, what, limit))
            gathered.write(chunk)
        # BytesIO hands over its buffer without a copy.
        return gathered.getvalue()

    def peek(self, size: int) -> bytes:
        """The next `size` bytes (fewer only at the end), which the reads after it return again."""
        self._peeked = self.read(size)
        return self._peeked

    def readinto(self, buffer) -> int:
        if self._peeked:
            with memoryview(buffer) as view:
                count = min(len(view), len(self._peeked))
                view[:count] = self._peeked[:count]
            self._peeked = self._peeked[count:]
            return count
        try:
            return self.file.readinto(buffer)
        except OSError as error:
            raise InputError(self.name, error.strerror) from None

    def _read(self, size: int) -> bytes:
        if self._peeked:
            data, self._peeked = self._peeked[:size], self._peeked[size:]
            return data
        try:
            return self.file.read(size) or b""
        except OSError as error:
            raise InputError(self.name, error.strerror) from None

    def close(self) -> None:
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def open_input(path: str | None) -> Input:
    """The input named by `-i PATH`: standard input for None or "-"."""
    if path in (None, STANDARD_STREAM):
        # The descriptor itself: sys.stdin is None when the command started without one.
        try:
            return Input("standard input", os.dup(_STDIN))
        except OSError as error:
            raise InputError("standard input", error.strerror) from None
    return open_file(path)


def open_file(path: str, *, regular_only: bool = False) -> Input:
    """The file at `path`, as `cat` opens it (a FIFO waits for its writer). `regular_only`
    refuses anything but a regular file, without waiting for a writer or touching a device."""
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY
    try:
        if regular_only:
            _check_regular(path, os.stat(path).st_mode)
            flags |= os.O_NONBLOCK
        fd = os.open(path, flags)
    except OSError as error:
        raise InputError(path, error.strerror) from None
    source = Input(path, fd)
    if regular_only:
        try:
            _check_regular(path, source.mode)  # the file may have been swapped since the check
        except BaseException:
            source.close()
            raise
    return source


def _check_regular(path: str, mode: int) -> None:
    if not stat.S_ISREG(mode):
        raise InputError(path, f"{_KINDS.get(stat.S_IFMT(mode), 'a special file')}, not a regular file")


def read_file(path: str, limit: int | None, what: str, *, failure: Failure = UsageError) -> bytes:
    with open_file(path) as source:
        return source.read_all(limit, what, failure=failure)


def read_input(path: str | None, limit: int | None, what: str, *, failure: Failure = UsageError) -> bytes:
    with open_input(path) as source:
        return source.read_all(limit, what, failure=failure)


def read_passphrase(path: str) -> bytes:
    """The pass phrase in a file: its content without one final line break."""
    data = read_file(path, MAX_PASSPHRASE_BYTES + len(b"\r\n"), "the pass phrase file",
                     failure=lambda _: UsageError(f"{path}: the pass phrase is longer than {MAX_PASSPHRASE_BYTES} bytes"))
    if data.endswith(b"\r\n"):
        data = data[:-2]
    elif data.endswith(b"\n"):
        data = data[:-1]
    if not data:
        raise UsageError(f"{path}: the pass phrase file is empty")
    return data


def must_not_exist(*paths: str) -> None:
    for path in paths:
        if os.path.lexists(path):
            raise UsageError(f"{path}: already exists; an existing key is never overwritten")


def _too_long(name: str, what: str, limit: int, size: int | None = None) -> str:
    if size is None:
        return f"{name}: {what} is too long: more than the {limit} bytes allowed"
    return f"{name}: {what} is too long: {size} bytes, at most {limit} are allowed"
