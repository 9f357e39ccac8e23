"""The state directory of a migration: its identity, journal, lock, failure list and, in
place, the backup tree of the originals.

Whoever controls it controls what the tool writes and keeps, so it is trusted only as ssh
trusts its files: the tool creates it itself, mode 0700; one that exists must be a real
directory (not a link), owned by the user running the tool and writable by no one else,
and so must everything at its top. It is opened once, and everything in it is opened
relative to that descriptor, without following links.
"""

import errno
import fcntl
import os
import stat

from ._errors import Refused
from ._fs import OPEN_DIRECTORY, create_exclusive

LOCK = "lock"
BACKUP = "backup"
# Copies of output files whose source left the store since they were made.
WITHDRAWN = "withdrawn"
FAILURES = "failed.txt"


class StateDirectory:
    def __init__(self, path: str) -> None:
        self.path = path
        self.fd: int | None = None
        self._lock: int | None = None

    def shown(self, name: str) -> str:
        return os.path.join(self.path, name)

    def open(self, *, create: bool) -> bool:
        """Opens and checks the directory; creates it first if `create` and it is missing.
        False when it is missing and not created."""
        created = False
        if create:
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
            try:
                os.mkdir(self.path, 0o700)
                created = True
            except FileExistsError:
                pass
        try:
            self.fd = os.open(self.path, OPEN_DIRECTORY)
        except FileNotFoundError:
            if create:
                raise
            return False
        except OSError as error:
            if os.path.islink(self.path):
                raise Refused(_refusal(self.path, "a symbolic link")) from None
            raise Refused(f"{self.path}: {'not a directory' if error.errno == errno.ENOTDIR else error.strerror}") \
                from None
        if created:
            _fsync_parent(self.path)
        self._check(os.fstat(self.fd), self.path)
        for name in os.listdir(self.fd):
            self._check(os.lstat(name, dir_fd=self.fd), self.shown(name))
        return True

    @staticmethod
    def _check(info: os.stat_result, shown: str) -> None:
        if stat.S_ISLNK(info.st_mode):
            raise Refused(_refusal(shown, "a symbolic link"))
        if info.st_uid != os.geteuid():
            raise Refused(_refusal(shown, f"owned by uid {info.st_uid}, not by the user running this tool "
                                          f"(uid {os.geteuid()})"))
        if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            raise Refused(_refusal(shown, f"writable by others (mode {stat.S_IMODE(info.st_mode):04o})"))

    def lock(self) -> None:
        """Holds the directory's lock for the rest of the process (and its workers), and keeps
        the directory closed to others (mode 0700), whatever an earlier version left."""
        os.fchmod(self.fd, 0o700)
        try:
            fd = create_exclusive(self.fd, LOCK)
        except FileExistsError:
            fd = os.open(LOCK, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=self.fd)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise Refused(f"{self.path}: another migration is running with this state directory") from None
        self._lock = fd

    def subdirectory(self, name: str) -> int:
        """Opens (making it, mode 0700, if missing) a directory of the state directory."""
        try:
            os.mkdir(name, 0o700, dir_fd=self.fd)
            os.fsync(self.fd)
        except FileExistsError:
            pass
        fd = os.open(name, OPEN_DIRECTORY, dir_fd=self.fd)
        self._check(os.fstat(fd), self.shown(name))
        return fd

    def close(self) -> None:
        for fd in (self._lock, self.fd):
            if fd is not None:
                os.close(fd)
        self._lock = self.fd = None


def _refusal(shown: str, what: str) -> str:
    return (f"{shown}: {what}; a state directory that others can change could redirect what this tool writes: "
            f"remove it, or give --state a directory of your own")


def _fsync_parent(path: str) -> None:
    fd = os.open(os.path.dirname(path), OPEN_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
