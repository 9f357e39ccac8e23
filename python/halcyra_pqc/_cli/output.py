"""Where a command's result goes, as `-o` names it.

A regular file (new, or replaced with --force) is written under a temporary name beside it
and renamed into place only on commit, so the name holds the old file or the complete new
one, never a part. Anything else that already exists (a device such as /dev/null, a FIFO,
a link) is written through, as `cat > NAME` writes it: never replaced by a regular file.
`-o -` and no `-o` at all are standard output. Results are written chunk by chunk and
committed once complete, so a command may release its result in parts and decide at the end
whether it stands.
"""

import abc
import contextlib
import errno
import os
import re
import secrets
import stat

from .exits import CommandFailed, UsageError

STANDARD_STREAM = "-"
_STDOUT = 1

# A link through a process's descriptor table, as /dev/stdout (to /proc/self/fd/1) and
# /dev/fd/N are: it names an open file, not a place to put one.
_DESCRIPTOR_TABLE = re.compile(r"/proc/(?P<pid>\d+)(?:/task/\d+)?/fd")
_MAX_LINKS = 40  # as the kernel's limit on links followed in one lookup
# File systems without hard links refuse link() so; the exclusive rename falls back to a check.
_NO_HARD_LINKS = {errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK}


class AlreadyExists(UsageError):
    """A regular file is at the name, and replacing it was not asked for."""

    def __init__(self, path: str):
        super().__init__(f"{path}: already exists: give --force to replace it")


class Output(abc.ABC):
    """Opened with open_output(); written with write() (a bytes-like chunk at a time); ended
    with commit(), which makes the result stand, or abort(), which withdraws what it can.
    Used as a context manager, it aborts unless it was committed."""

    name: str  # the name to show in messages
    _fd: int | None  # None once committed or aborted
    # Whether what is written is out at once (a pipe, a device), rather than only on commit.
    releases: bool
    written = 0  # bytes written so far

    def write(self, data) -> int:
        if self._fd is None:
            raise ValueError("the output is closed")
        try:
            done = _write_all(self._fd, data)
        except OSError as error:
            self.abort()
            raise self._failure(error) from None
        self.written += done
        return done

    def holds(self, identity: tuple[int, int] | None) -> bool:
        """Whether what is written lands in the regular file of this (st_dev, st_ino) at once,
        as `>> FILE` makes it: a command reading that file would read its own output."""
        return False

    @abc.abstractmethod
    def _failure(self, error: OSError) -> Exception:
        """What a failed write ends the command with."""

    @abc.abstractmethod
    def commit(self) -> None: ...

    @abc.abstractmethod
    def abort(self) -> None: ...

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.abort()


def open_output(path: str | None, *, binary: bool, force: bool = False, mode: int = 0o666) -> Output:
    """The output named by `-o PATH`. An existing regular file is refused unless `force`;
    `mode` is that of a new file (less the umask); a replaced file keeps its mode and, where
    the process may set it, its owner."""
    if path in (None, STANDARD_STREAM):
        # The descriptor itself: sys.stdout is None when the command started without one.
        if binary and os.isatty(_STDOUT):
            raise UsageError("not writing binary data to a terminal: give -o FILE or redirect the output")
        return _WrittenThrough("standard output", _duplicate(_STDOUT, "standard output"))
    if not os.path.basename(path):
        raise UsageError(f"{path}: names a directory, not a file")
    try:
        found = os.lstat(path)
    except FileNotFoundError:
        return _Replacing(path, None, force=force, mode=mode)
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None
    if stat.S_ISREG(found.st_mode):
        _check_force(path, force)
        return _Replacing(path, found, force=True, mode=mode)
    if stat.S_ISDIR(found.st_mode):
        raise UsageError(f"{path}: is a directory")
    if stat.S_ISSOCK(found.st_mode):
        raise UsageError(f"{path}: a socket, which cannot be written as a file")
    descriptor = _descriptor_of_this_process(path) if stat.S_ISLNK(found.st_mode) else None
    if descriptor is not None:
        return _WrittenThrough(path, _duplicate(descriptor, path))
    return _through_or_replacing(path, force=force, mode=mode)


def _through_or_replacing(path: str, *, force: bool, mode: int) -> Output:
    """A device, FIFO or link: opened as `cat >` opens it (a FIFO waits for its reader), then
    written through, unless it leads to a regular file, which is replaced under its own name
    (the link stays as it is) as any regular file is."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        # A link to nothing yet: the file is created where it points, as `cat >` creates it.
        return _Replacing(os.path.realpath(path), None, force=force, mode=mode)
    except OSError as error:
        if error.errno == errno.ENXIO:
            raise UsageError(f"{path}: a socket, or a device with nothing behind it: it cannot be written") from None
        raise UsageError(f"{path}: {error.strerror}") from None
    try:
        opened = os.fstat(fd)
        if not stat.S_ISREG(opened.st_mode):
            return _WrittenThrough(path, fd)
        _check_force(path, force)
        target = os.path.realpath(path)
        try:
            named = os.lstat(target)
        except OSError:
            named = None
        if named is not None and (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino):
            os.close(fd)
            return _Replacing(target, named, force=True, mode=mode)
        # A regular file that no name leads to any more (another process's open file, say):
        # emptied and written through, as `cat >` does.
        os.ftruncate(fd, 0)
        return _WrittenThrough(path, fd)
    except OSError as error:
        _close_quietly(fd)
        raise UsageError(f"{path}: {error.strerror}") from None
    except BaseException:
        _close_quietly(fd)
        raise


def _check_force(path: str, force: bool) -> None:
    if not force:
        raise AlreadyExists(path)


def _descriptor_of_this_process(path: str) -> int | None:
    """N when following the links of `path` leads to /proc/<this process>/fd/N (as
    /dev/stdout and /dev/fd/N do): the open descriptor itself is meant, with its offset and
    its append mode, as a shell's redirection made it."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        parent = os.path.realpath(os.path.dirname(current))
        table = _DESCRIPTOR_TABLE.fullmatch(parent)
        name = os.path.basename(current)
        if table is not None and name.isdigit():
            return int(name) if int(table["pid"]) == os.getpid() else None
        try:
            current = os.path.join(parent, os.readlink(os.path.join(parent, name)))
        except OSError:
            return None
    return None


def _duplicate(fd: int, name: str) -> int:
    try:
        return os.dup(fd)
    except OSError as error:
        raise UsageError(f"{name}: {error.strerror}") from None


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass


def _write_all(fd: int, data) -> int:
    with memoryview(data) as view, view.cast("B") as octets:
        done = 0
        while done < len(octets):
            done += os.write(fd, octets[done:])
    return done


class _WrittenThrough(Output):
    """A descriptor written as it is: standard output, a device, a FIFO, a terminal."""

    releases = True

    def __init__(self, name: str, fd: int):
        self.name = name
        self._fd = fd

    def holds(self, identity: tuple[int, int] | None) -> bool:
        if identity is None or self._fd is None:
            return False
        found = os.fstat(self._fd)
        return stat.S_ISREG(found.st_mode) and (found.st_dev, found.st_ino) == identity

    def _failure(self, error: OSError) -> Exception:
        # Some of the result may have gone out already: the command failed.
        if isinstance(error, BrokenPipeError):
            return CommandFailed(f"{self.name}: cut off: the reader closed the pipe before the end")
        return CommandFailed(f"{self.name}: {error.strerror}")

    def commit(self) -> None:
        if self._fd is None:
            raise ValueError("the output is closed")
        fd, self._fd = self._fd, None
        try:
            os.close(fd)
        except OSError as error:
            # A file system reports a failed delayed write at close at the latest (NFS).
            raise CommandFailed(f"{self.name}: {error.strerror}") from None

    def abort(self) -> None:
        if self._fd is not None:
            fd, self._fd = self._fd, None
            _close_quietly(fd)


class _Replacing(Output):
    """A regular file, written under a temporary name in its directory and renamed into
    place on commit. Without `force` the name must still be free then: a file that appeared
    there in the meantime is never replaced."""

    releases = False

    def __init__(self, path: str, replaced: os.stat_result | None, *, force: bool, mode: int):
        self.name = path
        self._path = path
        self._force = force
        self._directory = os.path.dirname(os.path.abspath(path))
        # A dot first, so that listings leave it out; random, so that it never meets a name
        # of the user's; its origin in its name, so that a leftover of a killed run is known.
        self._temporary = os.path.join(
            self._directory, f".{os.path.basename(path)[:64]}.hpqc-{secrets.token_hex(8)}.part")
        try:
            self._fd = os.open(
                self._temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                mode if replaced is None else 0o600)
        except OSError as error:
            raise UsageError(f"{path}: {error.strerror}") from None
        if replaced is not None:
            with self._aborted_on_failure():
                self._keep_access(replaced)

    @contextlib.contextmanager
    def _aborted_on_failure(self):
        """Withdraws the temporary file on any failure; an OSError ends the command as a
        usage error (exit code 2: nothing changed)."""
        try:
            yield
        except OSError as error:
            self.abort()
            raise UsageError(f"{self.name}: {error.strerror}") from None
        except BaseException:
            self.abort()
            raise

    def _keep_access(self, replaced: os.stat_result) -> None:
        # New content never inherits the privileges of a set-user or set-group program.
        mode = stat.S_IMODE(replaced.st_mode) & ~(stat.S_ISUID | stat.S_ISGID)
        try:
            if (replaced.st_uid, replaced.st_gid) != (os.geteuid(), os.getegid()):
                os.fchown(self._fd, replaced.st_uid, replaced.st_gid)
        except PermissionError:
            # Not ours to give away: the new file is the process's, so it is readable by
            # its owner alone rather than by a group the old file never had.
            mode &= 0o700
        os.fchmod(self._fd, mode)

    def _failure(self, error: OSError) -> Exception:
        # Only the temporary file was written, and it is gone: nothing changed.
        return UsageError(f"{self.name}: {error.strerror}")

    def commit(self) -> None:
        if self._fd is None:
            raise ValueError("the output is closed")
        with self._aborted_on_failure():
            os.fsync(self._fd)
            fd, self._fd = self._fd, None
            os.close(fd)
            if self._force:
                os.rename(self._temporary, self._path)
            elif not self._link_into_place():
                raise AlreadyExists(self._path)
            self._temporary = None
            _fsync_directory(self._directory)

    def _link_into_place(self) -> bool:
        """Puts the file at its name only if the name is free (False when it is not)."""
        try:
            # link() fails when the name exists, where rename() would replace it.
            os.link(self._temporary, self._path, follow_symlinks=False)
        except FileExistsError:
            return False
        except OSError as error:
            if error.errno not in _NO_HARD_LINKS:
                raise
            if os.path.lexists(self._path):
                return False
            os.rename(self._temporary, self._path)
            return True
        try:
            os.unlink(self._temporary)
        except OSError:
            pass  # the result is in place; only a second name of it is left over
        return True

    def abort(self) -> None:
        if self._fd is not None:
            fd, self._fd = self._fd, None
            _close_quietly(fd)
        if self._temporary is not None:
            temporary, self._temporary = self._temporary, None
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _fsync_directory(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
