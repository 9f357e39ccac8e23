"""The migration's identity and journal, in its state directory.

`identity` says what the migration is: its mode, its store and output, the target key's and
the legacy key's fingerprints and the scheme. The first run writes it, exclusively and
durably, before anything else; no later run rewrites it, and every run must match it.

`journal` is append-only, one record per line, `CRC32 JSON` (the CRC-32 of the JSON text in
eight hexadecimal digits, a space, compact ASCII JSON). A record is appended only once what
it describes is durably done, so the journal never claims more than is on disk; a crash may
lose its last records, and a later run finds those files again by their content. Records
have a "t" member: "run" (one per run: its settings and the prefix of its temporary names),
"done" (a finished file), "gone" (a recorded file that has left the store since) and "end"
(a run's counts, and whether it left the store clean of temporary files). A database store
records "range" instead of "done": a batch's range of keys, finished, and its place in the
run's plan; its "run" records say from which key on the run planned, and its "end" records
whether the run went through the whole table.

A crash while appending leaves a torn last line, which the next run cuts off. Anything else
that does not read (a record damaged in the middle, a line that is not what this tool
writes) stops the run before it changes anything, naming the record: silently dropping
good records would hide work, and dropping the identity would let a run to another key in.

Version 1 journals (from before the identity file) stay readable: their first run record
holds the identity, and the next run writes it out.
"""

import json
import os
import stat
import zlib

from .._legacy import SCHEMES
from ._errors import Damaged
from ._fs import create_exclusive, is_prefix, write_all

FORMAT = 2
_READABLE = (1, FORMAT)
# Longer than any record this tool writes (a path is at most 4096 bytes, six-fold escaped).
MAX_LINE = 1 << 16
IDENTITY_FIELDS = ("mode", "source", "out", "target", "legacy", "scheme")
MODES = ("in-place", "out")
JOURNAL = "journal"
IDENTITY = "identity"


def encode(record: dict) -> bytes:
    # ASCII-only JSON: file names that are not UTF-8 travel as escaped surrogates.
    body = json.dumps({"v": FORMAT, **record}, separators=(",", ":")).encode("ascii")
    return b"%08x %s\n" % (zlib.crc32(body), body)


# Why a line does not read, when a crash in the middle of its writing can be the reason.
_TORN = ("not a record", "its checksum does not match")


def decode(line: bytes) -> tuple[dict | None, str]:
    """(the record, "") of a whole line without its line break, or (None, why not)."""
    try:
        if len(line) < 10 or line[8:9] != b" " or not line[:8].isalnum():
            return None, _TORN[0]
        body = line[9:]
        if int(line[:8], 16) != zlib.crc32(body):
            return None, _TORN[1]
    except ValueError:
        return None, _TORN[0]
    # From here the line is as it was written: what is wrong with it, no crash did.
    try:
        record = json.loads(body)
    except (ValueError, RecursionError):
        return None, "its content is not a record of this tool's"
    if not isinstance(record, dict):
        return None, "its content is not a record of this tool's"
    if record.get("v") not in _READABLE:
        if type(record.get("v")) is int and record["v"] > FORMAT:
            return None, f"written by a newer version of this tool (format {record['v']})"
        return None, "of an unknown format"
    why = _invalid(record)
    return (None, why) if why else (record, "")


def is_relative_path(text: object) -> bool:
    """A "/"-separated path below a root, which can lead nowhere else."""
    return (isinstance(text, str) and 0 < len(text) <= 4096 and "\0" not in text
            and all(part not in ("", ".", "..") for part in text.split("/")))


def _invalid(record: dict) -> str:
    kind = record.get("t")
    checks = _SCHEMA.get(kind)
    if checks is None:
        return "of an unknown kind"
    for name, valid, required in checks:
        if name in record:
            if not valid(record[name]):
                return f"its {name!r} is not valid"
        elif required and (record["v"] == FORMAT or name in _IN_EVERY_FORMAT):
            return f"its {name!r} is missing"
    return ""


def _count(value) -> bool:
    return type(value) is int and value >= 0


def _text(value) -> bool:
    return isinstance(value, str) and len(value) <= 4096


def _key(value) -> bool:
    """A key of a database row, as the journal keeps it: an integer, or text."""
    return (type(value) is int) or _text(value)


def _identity_of(value) -> bool:
    return type(value) is list and len(value) == 3 and all(type(n) is int for n in value)


_RUN = [("mode", lambda v: v in MODES, True), ("source", _text, True),
        ("out", lambda v: v is None or _text(v), True), ("target", _text, True),
        ("legacy", _text, True), ("scheme", lambda v: v in SCHEMES, True), ("run", _count, True),
        ("tmp", is_prefix, True), ("jobs", _count, False), ("verify", lambda v: type(v) is bool, False),
        ("started", _text, False), ("from", lambda v: v is None or _key(v), False)]
_SCHEMA = {
    "run": _RUN,
    "done": [("path", is_relative_path, True), ("status", lambda v: v in ("migrated", "post-quantum"), True),
             ("run", _count, True), ("scheme", lambda v: v in SCHEMES, False),
             ("backup", is_relative_path, False), ("id", _identity_of, False)],
    "gone": [("path", is_relative_path, True), ("run", _count, True)],
    "end": [("run", _count, True), ("clean", lambda v: type(v) is bool, True),
            ("complete", lambda v: type(v) is bool, False)],
    "range": [("run", _count, True), ("seq", _count, True), ("lo", _key, True), ("hi", _key, True)],
    "identity": _RUN[:6],
}
# Members that version 1 records had too.
_IN_EVERY_FORMAT = {"path", "status", *IDENTITY_FIELDS}


class Journal:
    """The records of a journal, read in full, and the appending of new ones."""

    def __init__(self, state_fd: int, shown: str) -> None:
        self.shown = shown  # its path, for messages
        self._state_fd = state_fd
        self.runs: list[dict] = []
        # Path of each finished file -> the identity its source had (out of place), or None.
        # Only this is kept of "done" records: a journal may hold millions of them.
        self.done: dict[str, list | None] = {}
        # A database store's: run number -> {place in its plan: last key of that range}, and
        # the runs that went through the whole table.
        self.ranges: dict[int, dict[int, object]] = {}
        self.complete_runs: set[int] = set()
        self._clean_after = 0  # runs before this number left nothing behind
        self.torn_bytes = 0
        self._valid_size = 0
        self._fd: int | None = None
        self._pending: list[tuple[str, bytes]] = []  # (kind, line)
        self.broken = False
        self.lost_records = 0  # "done" records that could not be written

    @property
    def first_run(self) -> dict | None:
        return self.runs[0] if self.runs else None

    def load(self) -> bool:
        """Reads the journal if there is one (False if not); Damaged when it does not read."""
        try:
            fd = os.open(JOURNAL, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=self._state_fd)
        except FileNotFoundError:
            return False
        with open(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise Damaged(f"{self.shown}: not a regular file")
            self._read(file)
        return True

    def _read(self, file) -> None:
        position = number = 0
        torn = None  # (record number, byte offset, why) of a line that a crash may have torn
        while line := file.readline(MAX_LINE + 1):
            number += 1
            if line.endswith(b"\n"):
                record, why = decode(line[:-1])
                tearable = why in _TORN
            else:
                record, why = None, ("longer than any record" if len(line) > MAX_LINE else "cut short")
                tearable = len(line) <= MAX_LINE
            # Only the final line, torn by a crash in the middle of an append, is cut off.
            if torn is not None or (record is None and not tearable):
                raise self._damaged(*(torn or (number, position, why)))
            if record is None:
                torn = (number, position, why)
            else:
                self._take(record, number, position)
            position += len(line)
        if torn is not None:
            self.torn_bytes = position - torn[1]
            position = torn[1]
        self._valid_size = position

    def _damaged(self, number: int, offset: int, why: str) -> Damaged:
        return Damaged(f"{self.shown}: record {number} (at byte {offset}) is damaged: {why}; nothing was changed. "
                       f"The other records are sound: keep a copy of the journal, delete that line and run again "
                       f"(the files it recorded are found again)")

    def _take(self, record: dict, number: int, offset: int) -> None:
        kind = record["t"]
        if kind == "run":
            if self.runs and any(record[name] != self.runs[0][name] for name in IDENTITY_FIELDS
                                 if name in record and name in self.runs[0]) and record["v"] == FORMAT:
                raise self._damaged(number, offset, "a run of another migration than the first")
            self.runs.append(record)
        elif kind == "done":
            self.done[record["path"]] = record.get("id")
        elif kind == "gone":
            self.done.pop(record["path"], None)
        elif kind == "range":
            self.ranges.setdefault(record["run"], {})[record["seq"]] = record["hi"]
        elif kind == "end":
            if record.get("clean"):
                self._clean_after = len(self.runs)
            if record.get("complete"):
                self.complete_runs.add(record["run"])

    def resume_point(self):
        """A database store's: where the next run starts, after the last key of the longest
        run of finished ranges from the start of the last run's plan (None: the first key).
        After a run that went through the whole table, the next one goes through it again,
        and so finds the rows inserted since."""
        if not self.runs or self.runs[-1]["run"] in self.complete_runs:
            return None
        last = self.runs[-1]
        point = last.get("from")
        finished = self.ranges.get(last["run"], {})
        seq = 0
        while seq in finished:
            point = finished[seq]
            seq += 1
        return point

    def prefixes_to_sweep(self) -> set[str]:
        """The temporary-name prefixes of runs that may have left temporary files behind."""
        return {run["tmp"] for run in self.runs[self._clean_after:] if "tmp" in run}

    def open_for_append(self) -> None:
        """Cuts a torn tail off and opens the journal for appending (made if missing)."""
        try:
            self._fd = os.open(JOURNAL, os.O_WRONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=self._state_fd)
            created = False
        except FileNotFoundError:
            self._fd = create_exclusive(self._state_fd, JOURNAL)
            created = True
        if os.fstat(self._fd).st_size != self._valid_size:
            os.ftruncate(self._fd, self._valid_size)
            os.fsync(self._fd)
        os.lseek(self._fd, 0, os.SEEK_END)
        if created:
            os.fsync(self._state_fd)

    def add(self, record: dict) -> None:
        """Queues a record; it reaches the disk at the next sync()."""
        if self.broken:
            self.lost_records += record["t"] == "done"
            return
        if record["t"] == "run":
            self.runs.append({"v": FORMAT, **record})
        elif record["t"] == "done":
            self.done[record["path"]] = record.get("id")
        self._pending.append((record["t"], encode(record)))

    def sync(self) -> None:
        """Appends the queued records and fsyncs them (one fsync for the lot). After a failure
        the journal is cut back to its last whole record and takes nothing more."""
        if not self._pending or self.broken:
            return
        data = b"".join(line for _, line in self._pending)
        count = sum(kind == "done" for kind, _ in self._pending)
        self._pending.clear()
        try:
            write_all(self._fd, data)
            os.fsync(self._fd)
        except OSError:
            self.broken = True
            self.lost_records += count
            try:
                os.ftruncate(self._fd, self._valid_size)
            except OSError:
                pass  # a torn last record, which the next run cuts off
            raise
        self._valid_size += len(data)

    def close(self) -> None:
        if self._fd is not None:
            try:
                self.sync()
            finally:
                os.close(self._fd)
                self._fd = None


def read_identity(state_fd: int, shown: str) -> dict | None:
    try:
        fd = os.open(IDENTITY, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=state_fd)
    except FileNotFoundError:
        return None
    with open(fd, "rb") as file:
        data = file.read(MAX_LINE + 1)
    record, why = decode(data[:-1]) if data.endswith(b"\n") and data.count(b"\n") == 1 else (None, "not a record")
    if record is not None and record["t"] != "identity":
        record, why = None, "not an identity record"
    if record is None:
        raise Damaged(f"{shown}: damaged ({why}): what this migration is cannot be read; nothing was changed. "
                      f"Restore the state directory from a copy, or start the migration anew with another --state")
    return {name: record[name] for name in IDENTITY_FIELDS}


def write_identity(state_fd: int, identity: dict) -> None:
    """Writes the identity once: complete under its name, or not at all."""
    temporary = IDENTITY + ".tmp"
    try:
        os.unlink(temporary, dir_fd=state_fd)
    except FileNotFoundError:
        pass
    fd = create_exclusive(state_fd, temporary)
    try:
        write_all(fd, encode({"t": "identity", **identity}))
        os.fsync(fd)
    finally:
        os.close(fd)
    # link() fails when the name exists, where rename() would replace it.
    os.link(temporary, IDENTITY, src_dir_fd=state_fd, dst_dir_fd=state_fd)
    os.unlink(temporary, dir_fd=state_fd)
    os.fsync(state_fd)
