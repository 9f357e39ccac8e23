"""The file work of a batch of a directory store, in a worker process: each batch made
durable before it is reported to the coordinator, which journals it.

A worker needs nothing but its Settings (picklable: paths, the nodes they must be, the keys'
bytes) and the batches, so it can run in a process of this machine or, over a shared file
system, of another. For one batch:
1. each file is opened relative to its directory, which is opened component by component
   from the store's root and checked to be the one listed; it is read through that one
   descriptor, and what to do with it is decided (_decide.py); in place, its original is
   kept in the backup tree (a hard link to the very file read, or a durable copy); the new
   file is written under a recorded temporary name beside its final one, with the owner,
   ACLs, attributes, mode and times of the original;
2. the new files, and the directories that gained backups, are fsynced, all at once from a
   few threads so that the file system commits them together: every original is safe and
   every new file complete before anything is put in place;
3. in place, each original is checked to be the file that was read (an application may have
   replaced it meanwhile); each new file is renamed into place;
4. the directories of the renames are fsynced, and only then is the batch reported.
"""

import ctypes
import errno
import os
import secrets
import signal
import stat
import sys
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from . import _metadata
from ._decide import COPY, COPY_FAILED, DONE_EARLIER, FAIL, LEAVE, MIGRATE, RECOVERED, action
from ._fs import (OPEN_DIRECTORY, OPEN_FILE, Node, Tree, copy_contents, create_temporary, lstat_or_none, node,
                  read_up_to, remove_quietly, split, write_all)
from ._item import FAILED, HEAD_SIZE, MIGRATED, POST_QUANTUM, classify, convert, parse_keys

# Links that fail for these reasons fall back to a copy (another file system, a file system
# without hard links, or a file with too many links).
_NO_LINK = {errno.EXDEV, errno.EPERM, errno.ENOTSUP, errno.EMLINK, errno.EOPNOTSUPP, errno.ENOENT}


@dataclass(frozen=True)
class Settings:
    source: str  # the store's root, absolute
    source_node: Node  # what it must be when a worker opens it
    destination: str  # in place the backup tree, else the output tree
    destination_node: Node
    in_place: bool
    prefix: str  # of temporary names, recorded in the journal before any is made
    legacy_key: bytes
    target_key: bytes  # public key bytes
    verify_key: bytes | None
    scheme: str


@dataclass(frozen=True, slots=True)
class Item:
    relative: str
    kind: str  # "file" or "link" (a link is only ever copied, out of place)
    recorded: bool  # the journal records it as done


@dataclass(frozen=True)
class Batch:
    items: list[Item]
    # {directory: (its node in the store, its counterpart's in the destination)}, for every
    # directory the items are in and their parents.
    directories: dict[str, tuple[Node, Node | None]]


@dataclass(frozen=True, slots=True)
class Report:
    relative: str
    # MIGRATED, POST_QUANTUM or FAILED, as the conversion says; or, for files an earlier run
    # finished, DONE_EARLIER (recorded in the journal) or RECOVERED (found migrated with a
    # backup but not recorded: a crash came between the file's rename and its record).
    status: str
    scheme: str | None = None
    reason: str | None = None
    backup: str | None = None  # in place: where the original is kept, below the backup root
    identity: tuple[int, int, int] | None = None  # of the original as read
    bytes_in: int = 0
    bytes_out: int = 0
    copied: bool = False  # out of place: a failed item copied unchanged
    lost: tuple = ()  # (what, why) of the metadata that could not be kept


class _Worker:
    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.keys = parse_keys(settings.legacy_key, settings.target_key, settings.verify_key)
        self.source = _open_root(settings.source, settings.source_node)
        self.destination = _open_root(settings.destination, settings.destination_node)

    def close(self) -> None:
        os.close(self.source)
        os.close(self.destination)


_worker: _Worker | None = None
_syncers: ThreadPoolExecutor | None = None
# fsyncs made at the same time are committed together by the file system.
_SYNCERS = 8


def start(settings: Settings, parent: int | None = None) -> None:
    """Initialiser of each worker process (`parent`: the coordinator's pid, when it is on
    this machine)."""
    global _worker
    # Ctrl-C reaches the whole process group: the coordinator decides what stops, and when.
    # SIGTERM, which the coordinator handles, ends a worker at once (the pool stops workers
    # with it).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if parent is not None:
        _die_with(parent)
    _worker = _Worker(settings)


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


def _open_root(path: str, expected: Node) -> int:
    fd = os.open(path, OPEN_DIRECTORY)
    if node(os.fstat(fd)) != expected:
        os.close(fd)
        raise RuntimeError(f"{path} is no longer the directory the migration began with")
    return fd


class _Pending:
    """A file written under a temporary name, waiting to be put in place."""

    __slots__ = ("directory", "name", "temporary", "fd", "read_as", "report")

    def __init__(self, directory: int, name: str, temporary: str, fd: int | None, read_as, report: Report) -> None:
        self.directory, self.name, self.temporary, self.fd = directory, name, temporary, fd
        self.read_as, self.report = read_as, report


def process(batch: Batch, worker: "_Worker | None" = None) -> list[Report]:
    """Does the work of a batch (by this process's worker, unless given one); returns one
    report per item, in order."""
    worker = worker or _worker
    source = Tree(worker.source, {d: nodes[0] for d, nodes in batch.directories.items()})
    destination = Tree(worker.destination, {d: nodes[1] for d, nodes in batch.directories.items()
                                            if nodes[1] is not None})
    reports: dict[str, Report] = {}
    pending: list[_Pending] = []
    changed: set[int] = set()
    try:
        for item in batch.items:
            try:
                outcome = _prepare(worker, item, source, destination, changed)
            except OSError as error:
                outcome = _failed(item.relative, error)
            if isinstance(outcome, _Pending):
                pending.append(outcome)
            else:
                reports[item.relative] = outcome
        _commit(worker, pending, changed, reports)
    finally:
        for item in pending:
            if item.fd is not None:
                os.close(item.fd)
            if item.temporary is not None:
                remove_quietly(item.directory, item.temporary)
        source.forget()
        destination.forget()
    return [reports[item.relative] for item in batch.items]


def _commit(worker: _Worker, pending: list[_Pending], changed: set[int], reports: dict) -> None:
    # Every original safe and every new file complete before anything is put in place.
    files = [item.fd for item in pending if item.fd is not None]
    errors = _fsync_together(files + sorted(changed))
    directory_error = next((error for error in errors[len(files):] if error is not None), None)
    file_errors = iter(errors[:len(files)])
    placed = []
    for item in pending:
        error = next(file_errors) if item.fd is not None else None
        if item.fd is not None:
            os.close(item.fd)
            item.fd = None
        error = error or directory_error
        if error is None:
            try:
                _put_in_place(worker, item)
            except OSError as failure:
                error = failure
        if error is not None:
            reports[item.report.relative] = _failed(item.report.relative, error)
            continue
        item.temporary = None
        placed.append(item)
    # A file in place but not known durable is reported failed; the next run finds it
    # migrated (in place, with its backup) or converts it again (to an output tree).
    targets = sorted({item.directory for item in placed})
    failed = {fd: error for fd, error in zip(targets, _fsync_together(targets), strict=True) if error is not None}
    for item in placed:
        error = failed.get(item.directory)
        reports[item.report.relative] = item.report if error is None else _failed(item.report.relative, error)


def _prepare(worker: _Worker, item: Item, source: Tree, destination: Tree, changed: set[int]) -> Report | _Pending:
    settings = worker.settings
    directory, name = split(item.relative)
    # Pinned: a file's directories serve until its batch is committed.
    source_dir = source.directory(directory, pin=True)
    if item.kind == "link":
        return _copy_link(worker, item, source_dir, destination.directory(directory, pin=True), name)
    fd = os.open(name, OPEN_FILE, dir_fd=source_dir)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return Report(item.relative, FAILED, reason="not a regular file")
        size = worker.keys.modulus_size
        head = read_up_to(fd, info.st_size if info.st_size == size else HEAD_SIZE)
        kind, reason = classify(info.st_size, head, size)
        read_as = _identity(info)
        todo = action(kind, out=not settings.in_place, recorded=item.recorded,
                      has_backup=lambda: _has_backup(destination, directory, name))
        if todo == MIGRATE:
            if len(head) != info.st_size:
                return Report(item.relative, FAILED, reason="changed while it was read (left as it is; run again)")
            result = convert(head, worker.keys, settings.scheme)
            if result.status == MIGRATED:
                return _migrated(worker, item, fd, info, head, result, source_dir, destination, changed)
            if settings.in_place:
                return Report(item.relative, FAILED, reason=result.reason, identity=read_as)
            todo, reason = COPY_FAILED, result.reason
        if todo == FAIL:
            return Report(item.relative, FAILED, reason=reason, identity=read_as)
        if todo in (COPY, COPY_FAILED):
            pending = _write_new(worker, destination.directory(directory, pin=True), name, read_as,
                                 lambda out: copy_contents(fd, out), fd, info)
            lost = pending.report
            pending.report = (Report(item.relative, POST_QUANTUM, identity=read_as, bytes_in=info.st_size,
                                     bytes_out=info.st_size, lost=lost) if todo == COPY else
                              Report(item.relative, FAILED, reason=reason, identity=read_as, copied=True, lost=lost))
            return pending
        if todo == DONE_EARLIER:
            return Report(item.relative, DONE_EARLIER)
        if todo == RECOVERED:
            return Report(item.relative, RECOVERED, backup=item.relative, identity=read_as)
        assert todo == LEAVE
        return Report(item.relative, POST_QUANTUM)
    finally:
        os.close(fd)


def _migrated(worker, item, fd, info, data, result, source_dir, destination, changed) -> _Pending:
    settings = worker.settings
    directory, name = split(item.relative)
    lost = []
    backup = None
    if settings.in_place:
        backup_dir = destination.directory(directory, pin=True)
        kept, made, lost = _keep_original(worker, fd, info, data, backup_dir, name)
        backup = f"{directory}/{kept}" if directory else kept
        if made:
            changed.add(backup_dir)
        target_dir = source_dir
    else:
        target_dir = destination.directory(directory, pin=True)
    pending = _write_new(worker, target_dir, name, _identity(info), lambda out: write_all(out, result.ciphertext),
                         fd, info)
    pending.report = Report(item.relative, MIGRATED, result.scheme, backup=backup, identity=_identity(info),
                            bytes_in=len(data), bytes_out=len(result.ciphertext),
                            lost=tuple(lost) + pending.report)
    return pending


def _write_new(worker, directory: int, name: str, read_as, fill, source_fd: int, source) -> _Pending:
    """A new file under a temporary name in `directory`, filled by `fill(fd)`, with the
    metadata of the file open as source_fd; its report is, for now, what metadata could not
    be kept. Nothing is left behind if this fails."""
    temporary, fd = create_temporary(directory, worker.settings.prefix)
    try:
        fill(fd)
        lost = tuple(_metadata.copy_file(source_fd, source, fd))
    except BaseException:
        os.close(fd)
        remove_quietly(directory, temporary)
        raise
    return _Pending(directory, name, temporary, fd, read_as, lost)


def _copy_link(worker, item, source_dir, target_dir, name) -> _Pending:
    link = os.readlink(name, dir_fd=source_dir)
    for _ in range(8):
        temporary = f"{worker.settings.prefix}.{secrets.token_hex(6)}"
        try:
            os.symlink(link, temporary, dir_fd=target_dir)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(errno.EEXIST, "no free temporary name")
    try:
        lost = tuple(_metadata.copy_link(source_dir, target_dir, name, temporary))
    except BaseException:
        remove_quietly(target_dir, temporary)
        raise
    report = Report(item.relative, FAILED, reason="a symbolic link, not followed", copied=True, lost=lost)
    return _Pending(target_dir, name, temporary, None, None, report)


def _has_backup(destination: Tree, directory: str, name: str) -> bool:
    try:
        return lstat_or_none(destination.directory(directory), name) is not None
    except OSError:
        return False


def _keep_original(worker, fd: int, info: os.stat_result, data: bytes, backup_dir: int, name: str):
    """Makes sure the file open as `fd` (read as `data`) has a copy in backup_dir, under
    `name` or, when another file already holds that name, `name.~N~`. The copy is a hard
    link to the very file read where possible, else a durable copy. Returns the name used,
    whether the directory changed (to be fsynced before the original is replaced), and what
    metadata a copy could not keep."""
    number = 0
    while True:
        candidate = name if number == 0 else f"{name}.~{number}~"
        existing = lstat_or_none(backup_dir, candidate)
        if existing is None:
            made = _link_or_copy(worker, fd, info, data, backup_dir, candidate)
            if made is not None:
                return candidate, True, made
        elif node(existing) == node(info) or (stat.S_ISREG(existing.st_mode) and existing.st_size == len(data)
                                             and _read(backup_dir, candidate, len(data)) == data):
            return candidate, False, []  # kept by an earlier, interrupted run
        number += 1


def _link_or_copy(worker, fd: int, info: os.stat_result, data: bytes, backup_dir: int, name: str):
    """Puts the file open as `fd` at `name`: None when something took the name first, else
    what metadata could not be kept."""
    try:
        # Through /proc the link is made to the open file itself, so a file put at the
        # original's name since it was read cannot be linked in its place.
        os.link(f"/proc/self/fd/{fd}", name, dst_dir_fd=backup_dir, follow_symlinks=True)
        return []
    except FileExistsError:
        return None
    except OSError as error:
        if error.errno not in _NO_LINK:
            raise
    temporary, copy = create_temporary(backup_dir, worker.settings.prefix)
    try:
        write_all(copy, data)
        lost = _metadata.copy_file(fd, info, copy)
        os.fsync(copy)
        os.link(temporary, name, src_dir_fd=backup_dir, dst_dir_fd=backup_dir)
    except FileExistsError:
        return None
    finally:
        os.close(copy)
        remove_quietly(backup_dir, temporary)
    return lost


def _put_in_place(worker: _Worker, item: _Pending) -> None:
    if worker.settings.in_place:
        # The name must still hold the file that was read and kept: an application that
        # replaced it meanwhile would otherwise lose its write.
        current = lstat_or_none(item.directory, item.name)
        if current is None or _identity(current) != item.read_as:
            raise OSError(0, "changed while it was being migrated (left as it is; run again)")
    os.rename(item.temporary, item.name, src_dir_fd=item.directory, dst_dir_fd=item.directory)


def _identity(info: os.stat_result) -> tuple[int, int, int]:
    return (info.st_ino, info.st_size, info.st_mtime_ns)


def _read(directory: int, name: str, size: int) -> bytes:
    fd = os.open(name, OPEN_FILE, dir_fd=directory)
    try:
        return read_up_to(fd, size + 1)
    finally:
        os.close(fd)


def _fsync_together(fds: list[int]) -> list[OSError | None]:
    """fsyncs each descriptor at the same time; returns each one's error or None."""
    global _syncers
    if len(fds) <= 1:
        return [_fsync(fd) for fd in fds]
    if _syncers is None:
        _syncers = ThreadPoolExecutor(_SYNCERS)
    return list(_syncers.map(_fsync, fds))


def _fsync(fd: int) -> OSError | None:
    try:
        os.fsync(fd)
    except OSError as error:
        return error
    return None


def _failed(relative: str, error: OSError) -> Report:
    return Report(relative, FAILED, reason=error.strerror or str(error))
