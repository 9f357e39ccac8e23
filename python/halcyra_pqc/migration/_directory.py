"""The directory store: a tree of files, each one stored item, migrated in place (each
original kept in the backup tree) or to an output tree that mirrors the store.

This is the coordinating side: listing the store, the reads of the dry run and of the
legacy key's check, the directories of the backup and output trees, the removal of an
earlier run's temporary files and of outputs whose source has left the store. The file work
of each item is done by the workers (_worker.py), given only picklable settings.
"""

import errno
import fcntl
import os
import stat
from dataclasses import dataclass, field

from . import _metadata
from ._errors import Refused
from ._fs import (OPEN_DIRECTORY, OPEN_FILE, Node, Tree, copy_contents, lstat_or_none, node, open_directory,
                  parent_of, read_up_to, remove_quietly, split)
from ._state import BACKUP, WITHDRAWN
from ._store import Store
from ._worker import Settings

# What a listed name is.
FILE = "file"
LINK = "link"
OTHER = "other"


@dataclass(frozen=True, slots=True)
class Entry:
    relative: str  # "/"-separated, below the store's root
    size: int = 0
    # (inode, size, modification time in ns): a file replaced or rewritten has another one.
    identity: tuple[int, int, int] = (0, 0, 0)
    kind: str = FILE
    problem: str | None = None  # why it cannot be migrated, when the listing tells already


@dataclass
class Listing:
    entries: list[Entry] = field(default_factory=list)
    directories: dict[str, Node] = field(default_factory=dict)  # every directory listed; "" the root
    unreadable: list[str] = field(default_factory=list)  # directories that could not be listed
    leftovers: list[tuple[str, str]] = field(default_factory=list)  # (directory, name) of temporaries


def identity(info: os.stat_result) -> tuple[int, int, int]:
    return (info.st_ino, info.st_size, info.st_mtime_ns)


def _join(directory: str, name: str) -> str:
    return f"{directory}/{name}" if directory else name


def scan(root_fd: int, is_leftover) -> Listing:
    """Lists the tree under root_fd, every directory opened relative to its parent and
    checked to be the one just listed, no link followed. Nothing is silently dropped: what
    cannot be migrated (links, special files, unreadable directories) is listed with a
    reason; temporary names of recorded prefixes (`is_leftover`) are collected apart."""
    listing = Listing(directories={"": node(os.fstat(root_fd))})
    # Depth first, one open descriptor per level.
    stack = [("", root_fd, _list(listing, "", root_fd, is_leftover))]
    while stack:
        relative, fd, subdirectories = stack[-1]
        child = next(subdirectories, None)
        if child is None:
            stack.pop()
            if fd != root_fd:
                os.close(fd)
            continue
        name, expected = child
        path = _join(relative, name)
        try:
            child_fd = open_directory(name, fd, expected)
        except OSError as error:
            listing.entries.append(Entry(path, kind=OTHER, problem=f"directory cannot be read: {error.strerror}"))
            listing.unreadable.append(path)
            continue
        listing.directories[path] = expected
        stack.append((path, child_fd, _list(listing, path, child_fd, is_leftover)))
    listing.entries.sort(key=lambda entry: entry.relative)
    return listing


def _list(listing: Listing, relative: str, fd: int, is_leftover):
    """Adds the files of one directory to the listing; returns its subdirectories."""
    subdirectories = []
    try:
        with os.scandir(fd) as children:
            found = list(children)
    except OSError as error:
        listing.entries.append(Entry(relative or ".", kind=OTHER,
                                     problem=f"directory cannot be read: {error.strerror}"))
        listing.unreadable.append(relative)
        return iter(())
    for child in found:
        path = _join(relative, child.name)
        if is_leftover(child.name):
            listing.leftovers.append((relative, child.name))
            continue
        try:
            info = child.stat(follow_symlinks=False)
        except OSError as error:
            listing.entries.append(Entry(path, kind=OTHER, problem=f"cannot be read: {error.strerror}"))
            continue
        if stat.S_ISDIR(info.st_mode):
            subdirectories.append((child.name, node(info)))
        elif stat.S_ISREG(info.st_mode):
            listing.entries.append(Entry(path, info.st_size, identity(info)))
        elif stat.S_ISLNK(info.st_mode):
            listing.entries.append(Entry(path, kind=LINK, problem="a symbolic link, not followed: migrate its target"))
        else:
            listing.entries.append(Entry(path, kind=OTHER, problem="not a regular file"))
    subdirectories.sort()
    return iter(subdirectories)


class DirectoryStore(Store):
    def __init__(self, source: str, out: str | None) -> None:
        self.source, self.out = source, out
        self.source_fd: int | None = None
        self.out_fd: int | None = None
        self.backup_fd: int | None = None
        self.listing: Listing | None = None
        self._tree: Tree | None = None
        self._trees: dict[int, Tree] = {}  # of the output and backup trees, by their root
        self.made_output = False

    @property
    def in_place(self) -> bool:
        return self.out is None

    def open(self, *, lock: bool = True) -> None:
        try:
            self.source_fd = os.open(self.source, OPEN_DIRECTORY)
        except OSError as error:
            raise Refused(f"{self.source}: {error.strerror}") from None
        # The lock belongs to the store, whatever state directory a run is given: one run
        # at a time changes it, and in place no other run reads it meanwhile.
        if lock:
            self._flock(self.source_fd, self.source, fcntl.LOCK_EX if self.in_place else fcntl.LOCK_SH)
        if self.out is not None:
            try:
                self.out_fd = os.open(self.out, OPEN_DIRECTORY)
            except FileNotFoundError:
                return
            except OSError as error:
                raise Refused(f"{self.out}: {error.strerror}") from None
            if lock:
                self._flock(self.out_fd, self.out, fcntl.LOCK_EX)

    @staticmethod
    def _flock(fd: int, shown: str, how: int) -> None:
        try:
            fcntl.flock(fd, how | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Refused(f"{shown}: another migration is running on this directory") from None

    def check_new_output(self) -> None:
        if self.out_fd is not None and os.listdir(self.out_fd):
            raise Refused(f"{self.out}: not empty; a new migration writes to an empty or new directory")

    def scan(self, is_leftover) -> Listing:
        # Out of place nothing of this tool's is ever in the store: every name there is data.
        self.listing = scan(self.source_fd, is_leftover if self.in_place else _nothing)
        self._tree = Tree(self.source_fd, self.listing.directories)
        return self.listing

    def read(self, entry: Entry, size: int) -> bytes | None:
        """Up to `size` bytes of a listed file, or None when it is no longer a regular file."""
        directory, name = split(entry.relative)
        fd = os.open(name, OPEN_FILE, dir_fd=self._tree.directory(directory))
        try:
            return read_up_to(fd, size) if stat.S_ISREG(os.fstat(fd).st_mode) else None
        finally:
            os.close(fd)

    def has_output(self, relative: str) -> bool:
        info = self._lstat(self.out_fd, relative)
        return info is not None and stat.S_ISREG(info.st_mode)

    def has_backup(self, relative: str) -> bool:
        return self._lstat(self.backup_fd, relative) is not None

    def _lstat(self, root_fd: int | None, relative: str) -> os.stat_result | None:
        if root_fd is None:
            return None
        tree = self._trees.get(root_fd)
        if tree is None:
            tree = self._trees[root_fd] = Tree(root_fd)
        directory, name = split(relative)
        try:
            return lstat_or_none(tree.directory(directory), name)
        except OSError:
            return None

    def attach_backup(self, state, *, create: bool) -> None:
        """In place: opens the backup tree of the state directory (made if `create`)."""
        if self.in_place and self.backup_fd is None and state.fd is not None:
            if create:
                self.backup_fd = state.subdirectory(BACKUP)
            elif lstat_or_none(state.fd, BACKUP) is not None:
                self.backup_fd = open_directory(BACKUP, state.fd)

    def make_output(self) -> list:
        """Out of place: creates the output directory if missing (with the store's owner, mode
        and ACLs) and locks it. Returns what of the store's metadata it could not keep."""
        lost = []
        if self.out_fd is None:
            os.makedirs(os.path.dirname(self.out), exist_ok=True)
            try:
                os.mkdir(self.out, 0o700)
                self.made_output = True
            except FileExistsError:
                pass
            self.out_fd = open_directory(self.out)
            if self.made_output and os.fstat(self.out_fd).st_uid != os.geteuid():
                raise Refused(f"{self.out}: replaced by another user's directory while it was made")
            self._flock(self.out_fd, self.out, fcntl.LOCK_EX)
            if self.made_output:
                lost = _metadata.copy_directory(self.source_fd, self.out_fd)
                _fsync_path(os.path.dirname(self.out))
        return lost

    def prepare(self, state, entries: list[Entry], modulus_size: int) -> tuple[dict, list]:
        """Makes the directories the work will write to, each with its source directory's
        owner, ACLs and mode: out of place the whole tree, in place the backup tree's
        directories of the classic-sized files. Returns the nodes of those directories
        ({relative path: node}) and what metadata could not be kept."""
        if self.in_place:
            self.attach_backup(state, create=True)
            root = self.backup_fd
            needed = set()
            for entry in entries:
                if entry.size == modulus_size:
                    directory = split(entry.relative)[0]
                    while directory and directory not in needed:
                        needed.add(directory)
                        directory = parent_of(directory)
        else:
            root = self.out_fd
            needed = set(self.listing.directories) - {""}
        nodes = {"": node(os.fstat(root))}
        lost = []
        made = Tree(root)
        changed = set()
        try:
            for directory in sorted(needed, key=lambda d: (d.count("/"), d)):
                parent, name = split(directory)
                try:
                    os.mkdir(name, 0o700, dir_fd=made.directory(parent))
                    changed.add(parent)
                except FileExistsError:
                    pass
                target = made.directory(directory)
                try:
                    source = self._tree.directory(directory)
                except OSError:
                    continue  # replaced since it was listed: its files fail on their own
                lost += _metadata.copy_directory(source, target)
                nodes[directory] = node(os.fstat(target))
            for directory in changed:
                os.fsync(made.directory(directory))
        finally:
            made.forget()
        return nodes, lost

    def sweep(self, is_leftover, listing: Listing) -> tuple[int, int]:
        """Removes the temporary files of recorded prefixes: those the listing found in the
        store, and those of the output or backup tree. Returns how many were removed, and
        how many could not be."""
        places = [(self._tree, listing.leftovers)]
        for root in self._destinations():
            found = scan(root, is_leftover)
            places.append((Tree(root, found.directories), found.leftovers))
        removed = remaining = 0
        try:
            for tree, leftovers in places:
                for directory, name in leftovers:
                    if _remove_leftover(tree, directory, name):
                        removed += 1
                    else:
                        remaining += 1
        finally:
            for tree, _ in places[1:]:
                tree.forget()
        return removed, remaining

    def count_leftovers(self, is_leftover) -> int:
        """The temporary files of recorded prefixes in the output or backup tree."""
        return sum(len(scan(root, is_leftover).leftovers) for root in self._destinations())

    def _destinations(self) -> list[int]:
        return [fd for fd in (self.out_fd, self.backup_fd) if fd is not None]

    def withdraw(self, state, relatives: list[str]) -> list[str]:
        """Out of place: moves the outputs of files that have left the store into the state
        directory's `withdrawn` tree, so the output is the store as it is. Returns those that
        could not be moved."""
        if self.in_place or not relatives:
            return []
        kept = state.subdirectory(WITHDRAWN)
        outputs, copies = Tree(self.out_fd), Tree(kept)
        stuck = []
        try:
            for relative in relatives:
                directory, name = split(relative)
                try:
                    source = outputs.directory(directory)
                    if lstat_or_none(source, name) is None:
                        continue
                    target = _make_directories(copies, directory)
                    _move(source, name, target, _free_name(target, name))
                except OSError:
                    stuck.append(relative)  # stays where it is, and is reported again by the next run
        finally:
            outputs.forget()
            copies.forget()
        return stuck

    def worker_settings(self, state, *, prefix: str, keys: tuple[bytes, bytes, bytes | None],
                        scheme: str) -> Settings:
        legacy, target, verify = keys
        destination, fd = (state.shown(BACKUP), self.backup_fd) if self.in_place else (self.out, self.out_fd)
        return Settings(source=self.source, source_node=node(os.fstat(self.source_fd)), destination=destination,
                        destination_node=node(os.fstat(fd)), in_place=self.in_place, prefix=prefix,
                        legacy_key=legacy, target_key=target, verify_key=verify, scheme=scheme)

    def release_directories(self) -> None:
        """Closes the directories the coordinator opened, before the workers are made (which
        would inherit them)."""
        for tree in [self._tree, *self._trees.values()]:
            if tree is not None:
                tree.forget()

    def close(self) -> None:
        self.release_directories()
        for fd in (self.source_fd, self.out_fd, self.backup_fd):
            if fd is not None:
                os.close(fd)
        self.source_fd = self.out_fd = self.backup_fd = None


def _nothing(name: str) -> bool:
    return False


def _remove_leftover(tree: Tree, directory: str, name: str) -> bool:
    try:
        fd = tree.directory(directory)
        mode = os.lstat(name, dir_fd=fd).st_mode
        if stat.S_ISREG(mode) or stat.S_ISLNK(mode):  # links: copies of links, out of place
            remove_quietly(fd, name)
            return True
    except OSError:
        pass  # harmless where it is: never renamed, never taken for data
    return False


def _make_directories(tree: Tree, relative: str) -> int:
    if relative:
        parent, name = split(relative)
        parent_fd = _make_directories(tree, parent)
        try:
            os.mkdir(name, 0o700, dir_fd=parent_fd)
        except FileExistsError:
            pass
    return tree.directory(relative)


def _free_name(directory_fd: int, name: str) -> str:
    number = 0
    while lstat_or_none(directory_fd, candidate := name if number == 0 else f"{name}.~{number}~") is not None:
        number += 1
    return candidate


def _move(source_fd: int, name: str, target_fd: int, target: str) -> None:
    try:
        os.rename(name, target, src_dir_fd=source_fd, dst_dir_fd=target_fd)
    except OSError as error:
        if error.errno != errno.EXDEV:
            raise
        fd = os.open(name, OPEN_FILE, dir_fd=source_fd)
        try:
            info = os.fstat(fd)
            copy = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                           dir_fd=target_fd)
            try:
                copy_contents(fd, copy)
                _metadata.copy_file(fd, info, copy)
                os.fsync(copy)
            finally:
                os.close(copy)
        finally:
            os.close(fd)
        os.fsync(target_fd)
        os.unlink(name, dir_fd=source_fd)
    os.fsync(target_fd)
    os.fsync(source_fd)


def _fsync_path(path: str) -> None:
    fd = os.open(path, OPEN_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
