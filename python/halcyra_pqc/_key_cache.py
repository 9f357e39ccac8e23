"""A small bounded cache of parsed keys, keyed by the exact key bytes.

Loading an RSA private key includes a consistency check that costs around a tenth of a
second, so programs that pass the same key bytes to every call would otherwise pay it
each time. Only successfully validated keys are stored, so a hit is as trustworthy as
a fresh parse.
"""

import threading
from collections import OrderedDict


class KeyCache:
    def __init__(self, maxsize: int) -> None:
        self._maxsize = maxsize
        self._entries: OrderedDict[bytes, object] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, data: bytes):
        with self._lock:
            key = self._entries.get(data)
            if key is not None:
                self._entries.move_to_end(data)
            return key

    def put(self, data: bytes, key) -> None:
        with self._lock:
            self._entries[data] = key
            self._entries.move_to_end(data)
            while len(self._entries) > self._maxsize:
                self._entries.popitem(last=False)
