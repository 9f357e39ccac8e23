"""Listing the files of a store: every regular file under a directory, with the identity
that tells whether it changed since a run recorded it. Nothing is silently dropped: what
cannot be migrated (links, special files, unreadable directories) is listed with a reason.
Temporary files left by a killed run are collected apart and never listed as data."""

import os
import stat
from dataclasses import dataclass

from .durable import is_temporary


@dataclass(frozen=True, slots=True)
class Entry:
    relative: str  # "/"-separated, below the store's root
    size: int
    # (inode, size, modification time in ns): a file replaced or rewritten has another one.
    identity: tuple[int, int, int]
    problem: str | None = None


@dataclass
class Listing:
    entries: list[Entry]
    leftovers: list[str]  # paths of temporary files from an earlier run


def scan(root: str, skip: set[str]) -> Listing:
    """Lists the store under `root`, not descending into the directories in `skip` (absolute
    paths) and not following links."""
    entries: list[Entry] = []
    leftovers: list[str] = []
    pending = [("", root)]
    while pending:
        prefix, directory = pending.pop()
        try:
            with os.scandir(directory) as listing:
                children = list(listing)
        except OSError as error:
            entries.append(Entry(prefix.rstrip("/") or ".", 0, (0, 0, 0),
                                 f"directory cannot be read: {error.strerror}"))
            continue
        for child in children:
            relative = prefix + child.name
            if is_temporary(child.name):
                leftovers.append(child.path)
                continue
            try:
                info = child.stat(follow_symlinks=False)
            except OSError as error:
                entries.append(Entry(relative, 0, (0, 0, 0), f"cannot be read: {error.strerror}"))
                continue
            if stat.S_ISDIR(info.st_mode):
                if os.path.abspath(child.path) not in skip:
                    pending.append((relative + "/", child.path))
            elif stat.S_ISREG(info.st_mode):
                entries.append(Entry(relative, info.st_size, identity(info)))
            elif stat.S_ISLNK(info.st_mode):
                entries.append(Entry(relative, 0, (0, 0, 0), "a symbolic link, not followed: migrate its target"))
            else:
                entries.append(Entry(relative, 0, (0, 0, 0), "not a regular file"))
    entries.sort(key=lambda entry: entry.relative)
    return Listing(entries, leftovers)


def leftovers(root: str) -> list[str]:
    """The temporary files under `root` (a tree that only this tool writes)."""
    found = []
    for directory, _, names in os.walk(root):
        found += [os.path.join(directory, name) for name in names if is_temporary(name)]
    return found


def identity(info: os.stat_result) -> tuple[int, int, int]:
    return (info.st_ino, info.st_size, info.st_mtime_ns)
