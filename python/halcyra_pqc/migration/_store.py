"""What the engine asks of a store, whatever keeps its items.

A store lists its items, each with an identity that changes when the item does; lets the
coordinator read an item (for the dry run and the legacy key's check); prepares where the
work writes; removes what an interrupted run left; and gives the workers picklable
settings, from which a worker in another process or on another machine does the file or
record work of a batch (_worker.py for the directory store). The journal, the counts and the
decisions stay with the coordinator, so every kind of store keeps the same promises.
"""

from abc import ABC, abstractmethod


class Store(ABC):
    in_place: bool

    @abstractmethod
    def open(self) -> None:
        """Opens the store and takes its lock (Refused when another run holds it)."""

    @abstractmethod
    def check_new_output(self) -> None:
        """Refused unless the output of a new migration is empty (out of place)."""

    @abstractmethod
    def scan(self, is_leftover):
        """The listing: every item with its identity, what cannot be migrated with a reason,
        and the temporary names of recorded prefixes (`is_leftover`) apart."""

    @abstractmethod
    def read(self, entry, size: int) -> bytes | None:
        """Up to `size` bytes of a listed item; None when it is no longer one."""

    @abstractmethod
    def has_output(self, relative: str) -> bool:
        """Out of place: whether the item's output exists."""

    @abstractmethod
    def has_backup(self, relative: str) -> bool:
        """In place: whether an original of the item is kept."""

    @abstractmethod
    def attach_backup(self, state, *, create: bool) -> None:
        """In place: opens where the originals are kept (made if `create`)."""

    @abstractmethod
    def make_output(self) -> list:
        """Out of place: makes and locks the output; returns the metadata it could not keep."""

    @abstractmethod
    def prepare(self, state, entries: list, modulus_size: int) -> tuple[dict, list]:
        """Prepares where the work on `entries` writes; returns what the workers must check
        it by, and the metadata it could not keep."""

    @abstractmethod
    def sweep(self, is_leftover, listing) -> int:
        """Removes the temporary files of recorded prefixes; returns how many."""

    @abstractmethod
    def withdraw(self, state, relatives: list[str]) -> list[str]:
        """Takes the outputs of items that left the store out of the output."""

    @abstractmethod
    def worker_settings(self, state, *, prefix: str, keys: tuple, scheme: str):
        """The picklable settings of the workers."""

    @abstractmethod
    def release_directories(self) -> None:
        """Lets go of what the coordinator opened beyond the roots, before the workers start."""

    @abstractmethod
    def close(self) -> None:
        """Releases the store and its lock."""
