"""The migration journal: an append-only file of records, one line each, that says what a
migration has finished, so that a later run skips it.

Each line is `CRC32 JSON` in hexadecimal and compact JSON. A record is appended only once
the file it describes is durably in place, so the journal never claims more than is on
disk; it may claim less, when a crash comes between a file's rename and its record, and a
later run then finds that file by its content. A crash while appending leaves a torn last
line, or on some file systems bytes that were never written: reading stops at the first
line whose checksum fails, and the next run cuts the file there before appending.

Records have a "t" member: "run" (one per run: its settings, and the identity of the
migration, fixed by the first one) and "done" (one per finished file).
"""

import json
import os
import zlib

from .durable import fsync_directory

FORMAT = 1


class Journal:
    def __init__(self, path: str) -> None:
        self.path = path
        self.runs: list[dict] = []
        # Path of each finished file -> the identity its source had (out of place), or None.
        # Only this is kept of "done" records: a journal may hold millions of them.
        self.done: dict[str, list | None] = {}
        self.torn_bytes = 0
        self._valid_size = 0
        self._fd: int | None = None
        self._pending: list[bytes] = []
        if os.path.exists(path):
            self._load()

    def _load(self) -> None:
        position = 0
        with open(self.path, "rb") as file:
            for line in file:
                record = _decode(line[:-1]) if line.endswith(b"\n") else None
                if record is None:
                    break
                self._take(record)
                position += len(line)
            file.seek(0, os.SEEK_END)
            self.torn_bytes = file.tell() - position
        self._valid_size = position

    def _take(self, record: dict) -> None:
        kind = record.get("t")
        if kind == "run":
            self.runs.append(record)
        elif kind == "done":
            self.done[record["path"]] = record.get("id")

    @property
    def identity(self) -> dict | None:
        """The settings of the first run, which every later run must share."""
        return self.runs[0] if self.runs else None

    def open_for_append(self) -> None:
        """Cuts a torn tail off and opens the journal for appending (made if missing)."""
        created = not os.path.exists(self.path)
        self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        if os.fstat(self._fd).st_size != self._valid_size:
            os.ftruncate(self._fd, self._valid_size)
            os.fsync(self._fd)
        os.lseek(self._fd, 0, os.SEEK_END)
        if created:
            fsync_directory(os.path.dirname(os.path.abspath(self.path)))

    def add(self, record: dict) -> None:
        """Queues a record; it reaches the disk at the next sync()."""
        self._take(record)
        self._pending.append(_encode(record))

    def sync(self) -> None:
        """Appends the queued records and fsyncs them (one fsync for the lot)."""
        if not self._pending:
            return
        data = b"".join(self._pending)
        self._pending.clear()
        view = memoryview(data)
        while view:
            written = os.write(self._fd, view)
            view = view[written:]
        os.fsync(self._fd)
        self._valid_size += len(data)

    def close(self) -> None:
        if self._fd is not None:
            try:
                self.sync()
            finally:
                os.close(self._fd)
                self._fd = None


def _encode(record: dict) -> bytes:
    # ASCII-only JSON: file names that are not UTF-8 travel as escaped surrogates.
    body = json.dumps({"v": FORMAT, **record}, separators=(",", ":")).encode("ascii")
    return b"%08x %s\n" % (zlib.crc32(body), body)


def _decode(line: bytes) -> dict | None:
    if len(line) < 10 or line[8:9] != b" ":
        return None
    body = line[9:]
    try:
        if int(line[:8], 16) != zlib.crc32(body):
            return None
        record = json.loads(body)
    except ValueError:
        return None
    if not isinstance(record, dict) or record.get("v") != FORMAT:
        return None
    if record.get("t") == "done" and not isinstance(record.get("path"), str):
        return None
    return record
