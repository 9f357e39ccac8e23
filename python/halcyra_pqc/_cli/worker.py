"""The migration's worker processes: the file work around migrate_ciphertext() for a batch
of files, each batch made durable before it is reported to the parent, which journals it.

For one batch:
1. each file is read through one open descriptor and converted; in place, its original is
   kept in the backup tree (a hard link to the very file read, or a durable copy); the new
   file is written under a temporary name beside its final one;
2. the new files, and the directories that gained backups or new directories, are fsynced,
   all at once from a few threads so that the file system commits them together: every
   original is safe and every new file complete before anything is put in place;
3. in place, each original is checked to be the file that was read (an application may have
   replaced it meanwhile); each new file is renamed into place;
4. the directories of the renames are fsynced, and only then is the batch reported.
"""

import ctypes
import os
import signal
import stat
import sys
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from ..migration import FAILED, HEAD_SIZE, MIGRATED, POST_QUANTUM, classify, migrate_ciphertext
from .._key_reader import load_key
from .._keys import modulus_size
from . import durable
from .store import identity

# Statuses beyond those of migrate_ciphertext(), for files an earlier run finished: recorded
# in the journal, or (RECOVERED) found migrated with a backup but not recorded, because a
# crash came between the file's rename and its record.
DONE_EARLIER = "done-earlier"
RECOVERED = "recovered"


@dataclass(frozen=True)
class Settings:
    source: str  # the store's root, absolute
    out: str | None  # the output tree's root; None when migrating in place
    backup: str | None  # the backup tree's root, in place
    legacy_key: bytes
    target_key: bytes  # public key bytes
    scheme: str
    verify_key: bytes | None


@dataclass(frozen=True, slots=True)
class Report:
    relative: str
    status: str
    scheme: str | None = None
    reason: str | None = None
    backup: str | None = None  # in place: where the original is kept, below the backup root
    identity: tuple[int, int, int] | None = None  # of the original as read
    bytes_in: int = 0
    bytes_out: int = 0


_settings: Settings
_modulus_size: int
_syncers: ThreadPoolExecutor | None = None
# fsyncs made at the same time are committed together by the file system.
_SYNCERS = 8


def start(settings: Settings, parent: int) -> None:
    """Initialiser of each worker process."""
    global _settings, _modulus_size
    # Ctrl-C reaches the whole process group: the parent decides what stops, and when. SIGTERM,
    # which the parent handles, ends a worker at once (the pool stops workers with it).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _die_with(parent)
    _settings = settings
    _modulus_size = modulus_size(load_key(settings.legacy_key, "legacy key").rsa_private)


def _die_with(parent: int) -> None:
    """Makes the kernel kill this process when the parent dies (Linux), so that no worker of a
    killed run goes on renaming files while the next run starts."""
    if sys.platform.startswith("linux"):
        try:
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:
        os._exit(1)


class _Pending:
    """A file converted, written under a temporary name, waiting to be put in place."""

    __slots__ = ("relative", "final", "temp", "fd", "read_as", "report")

    def __init__(self, relative: str, final: str, written: tuple[str, int], read_as, report: Report) -> None:
        self.relative, self.final, self.read_as, self.report = relative, final, read_as, report
        self.temp, self.fd = written


def process(batch: list[tuple[str, bool]]) -> list[Report]:
    """Migrates a batch of (relative path, recorded as done by an earlier run) pairs."""
    reports: dict[str, Report] = {}
    pending: list[_Pending] = []
    directories: set[str] = set()
    try:
        for relative, recorded in batch:
            try:
                outcome = _prepare(relative, recorded, directories)
            except OSError as error:
                outcome = _failed(relative, error)
            if isinstance(outcome, _Pending):
                pending.append(outcome)
            else:
                reports[relative] = outcome
        # Every original safe and every new file complete before anything is put in place.
        errors = _fsync_together([item.fd for item in pending] + sorted(directories))
        directory_error = next((error for error in errors[len(pending):] if error is not None), None)
        ready = []
        for item, error in zip(pending, errors[:len(pending)], strict=True):
            os.close(item.fd)
            item.fd = None
            error = error or directory_error
            if error is not None:
                reports[item.relative] = _failed(item.relative, error)
                _discard(item)
            else:
                ready.append(item)
        placed = []
        for item in ready:
            try:
                _put_in_place(item)
            except OSError as error:
                reports[item.relative] = _failed(item.relative, error)
                _discard(item)
                continue
            placed.append(item)
        # A file in place but not known durable is reported failed; the next run finds it
        # migrated (in place, with its backup) or converts it again (to an output tree).
        targets = sorted({os.path.dirname(item.final) for item in placed})
        failed_directories = {d: e for d, e in zip(targets, _fsync_together(targets), strict=True)
                              if e is not None}
        for item in placed:
            error = failed_directories.get(os.path.dirname(item.final))
            reports[item.relative] = item.report if error is None else _failed(item.relative, error)
    finally:
        for item in pending:
            if item.fd is not None:
                os.close(item.fd)
                _discard(item)
    return [reports[relative] for relative, _ in batch]


def _prepare(relative: str, recorded: bool, to_sync: set[str]) -> Report | _Pending:
    path = os.path.join(_settings.source, relative)
    # O_NONBLOCK: a name that became a FIFO since the listing must not hang the worker.
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return Report(relative, FAILED, reason="not a regular file")
        head = _read(fd, info.st_size if info.st_size == _modulus_size else HEAD_SIZE)
        kind, reason = classify(info.st_size, head, _modulus_size)
        read_as = identity(info)
        if kind == FAILED:
            return Report(relative, FAILED, reason=reason, identity=read_as)
        if kind == POST_QUANTUM:
            return _already_post_quantum(relative, recorded, fd, info, read_as, to_sync)
        if len(head) != info.st_size:
            return Report(relative, FAILED, reason="changed while it was read (left as it is; run again)")
        result = migrate_ciphertext(head, _settings.legacy_key, _settings.target_key,
                                    scheme=_settings.scheme, verify_private_key_bytes=_settings.verify_key)
        if result.status != MIGRATED:
            return Report(relative, result.status, reason=result.reason, identity=read_as)
        backup = None
        if _settings.out is None:
            backup, changed = durable.keep_original(fd, head, _settings.backup, relative)
            to_sync.update(changed)
        report = Report(relative, MIGRATED, result.scheme, backup=backup, identity=read_as,
                        bytes_in=len(head), bytes_out=len(result.ciphertext))
        final = _final_path(relative, to_sync)
        written = durable.write_unsynced(os.path.dirname(final), result.ciphertext, mode=stat.S_IMODE(info.st_mode),
                                         owner=_owner(info), exact_mode=True)
        return _Pending(relative, final, written, read_as, report)
    finally:
        os.close(fd)


def _already_post_quantum(relative, recorded, fd, info, read_as, to_sync) -> Report | _Pending:
    if _settings.out is not None:
        # A copy, so that the output tree holds the whole store.
        final = _final_path(relative, to_sync)
        os.lseek(fd, 0, os.SEEK_SET)
        with open(fd, "rb", closefd=False) as source:
            written = durable.write_unsynced(os.path.dirname(final), source, mode=stat.S_IMODE(info.st_mode),
                                             exact_mode=True)
        return _Pending(relative, final, written, read_as,
                        Report(relative, POST_QUANTUM, identity=read_as, bytes_in=info.st_size,
                               bytes_out=info.st_size))
    if recorded:
        return Report(relative, DONE_EARLIER)
    if os.path.lexists(os.path.join(_settings.backup, relative)):
        return Report(relative, RECOVERED, backup=relative, identity=read_as)
    return Report(relative, POST_QUANTUM)


def _final_path(relative: str, to_sync: set[str]) -> str:
    if _settings.out is None:
        return os.path.join(_settings.source, relative)
    final = os.path.join(_settings.out, relative)
    to_sync.update(durable.make_directories(os.path.dirname(final)))
    return final


def _owner(info: os.stat_result) -> tuple[int, int] | None:
    # Only root can give a file away; others' new files are theirs, as with any editor.
    if _settings.out is None and os.geteuid() == 0 and (info.st_uid, info.st_gid) != (0, 0):
        return info.st_uid, info.st_gid
    return None


def _read(fd: int, size: int) -> bytes:
    """Up to `size` bytes from the start of the file (fewer at its end)."""
    parts = []
    while size > 0:
        part = os.read(fd, size)
        if not part:
            break
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def _fsync_together(targets: list) -> list[OSError | None]:
    """fsyncs each target (a descriptor, or a directory's path) at the same time; returns each
    one's error or None."""
    global _syncers
    if len(targets) <= 1:
        return [_fsync(target) for target in targets]
    if _syncers is None:
        _syncers = ThreadPoolExecutor(_SYNCERS)
    return list(_syncers.map(_fsync, targets))


def _fsync(target) -> OSError | None:
    try:
        if isinstance(target, int):
            os.fsync(target)
        else:
            durable.fsync_directory(target)
    except OSError as error:
        return error
    return None


def _put_in_place(item: _Pending) -> None:
    if _settings.out is None:
        # The name must still hold the file that was read and kept: an application that
        # replaced it meanwhile would otherwise lose its write.
        try:
            current = identity(os.lstat(item.final))
        except FileNotFoundError:
            current = None
        if current != item.read_as:
            raise OSError(0, "changed while it was being migrated (left as it is; run again)")
    os.rename(item.temp, item.final)


def _discard(item: _Pending) -> None:
    if item.temp is not None:
        durable.remove_quietly(item.temp)


def _failed(relative: str, error: OSError) -> Report:
    return Report(relative, FAILED, reason=error.strerror or str(error))
