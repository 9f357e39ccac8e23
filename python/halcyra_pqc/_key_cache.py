"""What the core remembers about key bytes it has read, each in a bounded LRU table:

- the parsed keys themselves, by their exact bytes (a few: they hold native key objects);
- the digests of key bytes whose checks passed, so that reading such bytes again, after
  their parsed key left the first table, costs a parse but not the checks;
- the digests of key bytes that were refused, with the reason, so that no input costs its
  checks more than once.

Digests are SHA-256 of the exact bytes: a table entry is a few dozen bytes, and equal
digests mean equal bytes.
"""

import hashlib
import threading
from collections import OrderedDict

PARSED_KEYS = 32
CHECKED_KEYS = 4096
REFUSED_KEYS = 1024


class BoundedTable:
    """A thread-safe mapping that forgets its least recently used entries past `maxsize`."""

    def __init__(self, maxsize: int) -> None:
        self._maxsize = maxsize
        self._entries: OrderedDict = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key):
        with self._lock:
            value = self._entries.get(key)
            if value is not None:
                self._entries.move_to_end(key)
            return value

    def put(self, key, value) -> None:
        with self._lock:
            self._entries[key] = value
            self._entries.move_to_end(key)
            while len(self._entries) > self._maxsize:
                self._entries.popitem(last=False)


def digest(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()


parsed = BoundedTable(PARSED_KEYS)
checked = BoundedTable(CHECKED_KEYS)
refused = BoundedTable(REFUSED_KEYS)
