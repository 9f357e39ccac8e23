"""The row work of a batch of a database store, in a worker: a range of keys read, converted
and written back while the application keeps using the table.

A worker needs nothing but its RowSettings (picklable: the URL, the names, the keys' bytes)
and the batches, so it runs in a process of this machine or on any machine of a cluster
that reaches the database. For one batch, the key range [lo, hi]:
1. its rows are read in one short transaction, and, for those already post-quantum, whether
   the backup table holds an old value of theirs (migrated by an earlier run);
2. the classic values are converted, outside any transaction (the slow part);
3. in one short transaction, each old value is inserted into the backup table, then its
   row updated only if it still holds that value (WHERE key = :k AND column = :old); a row
   the application changed meanwhile keeps the application's value, and its backup row is
   taken out again. Nothing locks the table: PostgreSQL locks the updated rows until the
   commit, SQLite the database for the few milliseconds of the writes.
A lost connection rolls the transaction back whole; the batch is then tried again on a new
connection (a value written by a commit whose answer was lost reads as migrated, with its
backup, and is not converted twice).
"""

import signal
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from datetime import UTC, datetime

from ._item import FAILED, MIGRATED, POST_QUANTUM, classify, convert, parse_keys
from ._target import DatabaseTarget

# Tries of a batch whose connection is lost, the waits between them doubling from this.
ATTEMPTS = 4
FIRST_WAIT = 0.25
# SQLite: how long a write waits for the application's transaction to end, in seconds.
SQLITE_BUSY_SECONDS = 30


class Unavailable(Exception):
    """The database could not be reached, or kept failing, for a whole batch; what the batch
    had done was rolled back. One string argument, so that it pickles."""


def connect(target: DatabaseTarget):
    """A SQLAlchemy engine for the store. SQLite writes begin IMMEDIATE, so that a write
    transaction waits for others at its start rather than failing in its middle."""
    import sqlalchemy

    if target.is_sqlite:
        engine = sqlalchemy.create_engine(target.url, connect_args={"timeout": SQLITE_BUSY_SECONDS})

        @sqlalchemy.event.listens_for(engine, "connect")
        def _own_transactions(dbapi_connection, record):
            dbapi_connection.isolation_level = None  # the transactions begin as below

        @sqlalchemy.event.listens_for(engine, "begin")
        def _begin(connection):
            writes = connection.get_execution_options().get("halcyra_writes", False)
            connection.exec_driver_sql("BEGIN IMMEDIATE" if writes else "BEGIN")

        return engine
    return sqlalchemy.create_engine(target.url, pool_pre_ping=True, pool_size=1, max_overflow=1)


@dataclass(frozen=True)
class Tables:
    """The store's table (its key and value columns) and the backup table, as SQLAlchemy
    Core objects."""

    table: object
    key: object
    value: object
    backup: object

    @classmethod
    def reflect(cls, target: DatabaseTarget, engine) -> "Tables":
        """LookupError saying what is missing or wrong."""
        import sqlalchemy

        metadata = sqlalchemy.MetaData()
        try:
            table = sqlalchemy.Table(target.table, metadata, autoload_with=engine)
        except sqlalchemy.exc.NoSuchTableError:
            raise LookupError(f"{target.shown}: the database has no table {target.table!r}") from None
        for name in (target.column, target.key):
            if name not in table.c:
                raise LookupError(f"{target.shown}: the table {target.table!r} has no column {name!r}")
        key = table.c[target.key]
        if not _unique(engine, table, target.key):
            raise LookupError(f"{target.shown}: key={target.key} must be the table's primary key, or a column "
                              f"with a unique constraint of its own, so that each key names one row")
        backup = sqlalchemy.Table(
            target.backup, metadata,
            sqlalchemy.Column("key", key.type, nullable=False, index=True),
            sqlalchemy.Column("old_value", sqlalchemy.LargeBinary, nullable=False),
            sqlalchemy.Column("migrated_at", sqlalchemy.DateTime(timezone=True), nullable=False),
            sqlalchemy.Column("run", sqlalchemy.Integer, nullable=False),
        )
        return cls(table, key, table.c[target.column], backup)

    def check_backup(self, engine, target: DatabaseTarget, *, create: bool) -> bool:
        """Whether the backup table exists (made if `create`); LookupError when a table of
        that name is not one of this tool's backup tables."""
        import sqlalchemy

        inspector = sqlalchemy.inspect(engine)
        if not inspector.has_table(target.backup):
            if create:
                with engine.connect().execution_options(halcyra_writes=True) as connection, connection.begin():
                    self.backup.create(connection, checkfirst=True)
                return True
            return False
        columns = {column["name"] for column in inspector.get_columns(target.backup)}
        if not {"key", "old_value", "migrated_at", "run"} <= columns:
            raise LookupError(f"{target.shown}: a table {target.backup!r} exists and is not a backup table of this "
                              f"tool's: give the URL backup=NAME for another one")
        return True


def _unique(engine, table, name: str) -> bool:
    import sqlalchemy

    if [column.name for column in table.primary_key.columns] == [name]:
        return True
    inspector = sqlalchemy.inspect(engine)
    constraints = [c["column_names"] for c in inspector.get_unique_constraints(table.name)]
    indexes = [i["column_names"] for i in inspector.get_indexes(table.name) if i.get("unique")]
    return [name] in constraints + indexes


@dataclass(frozen=True)
class RowSettings:
    target: DatabaseTarget
    run: int  # this run's number, kept with each backup row
    token: str  # this run's, so that a cluster's worker knows when it serves another run
    legacy_key: bytes
    target_key: bytes
    verify_key: bytes | None
    scheme: str


@dataclass(frozen=True, slots=True)
class RowBatch:
    seq: int  # its place in the run's plan, in key order
    lo: object  # the first and last key of the range
    hi: object


@dataclass(slots=True)
class RowReport:
    seq: int
    lo: object
    hi: object
    rows: int = 0
    by_scheme: Counter = field(default_factory=Counter)  # migrated rows, by how they were read
    bytes_in: int = 0
    bytes_out: int = 0
    post_quantum: int = 0  # already post-quantum, no backup of theirs: left as they are
    done_earlier: int = 0  # post-quantum with a backup: migrated by an earlier run
    null: int = 0
    changed: int = 0  # changed by the application between the read and the guarded update
    failures: list = field(default_factory=list)  # (key, reason)


class RowWorker:
    def __init__(self, settings: RowSettings) -> None:
        self.settings = settings
        self.keys = parse_keys(settings.legacy_key, settings.target_key, settings.verify_key)
        self.engine = connect(settings.target)
        self.tables: Tables | None = None  # read with the first batch, which may have to try again

    def process(self, batch: RowBatch) -> RowReport:
        import sqlalchemy

        for attempt in range(ATTEMPTS):
            try:
                if self.tables is None:
                    self.tables = Tables.reflect(self.settings.target, self.engine)
                return self._process(batch)
            except sqlalchemy.exc.DBAPIError as error:
                if attempt == ATTEMPTS - 1 or not _transient(error):
                    raise Unavailable(_reason(error)) from None
                self.engine.dispose()
                time.sleep(FIRST_WAIT * 2**attempt)
        raise AssertionError("unreachable")

    def _process(self, batch: RowBatch) -> RowReport:
        import sqlalchemy

        tables = self.tables
        key, value, backup = tables.key, tables.value, tables.backup
        report = RowReport(batch.seq, batch.lo, batch.hi)
        with self.engine.connect() as connection:
            rows = connection.execute(sqlalchemy.select(key, value).where(key.between(batch.lo, batch.hi))
                                      .order_by(key)).all()
            backed = set(connection.execute(sqlalchemy.select(backup.c.key).distinct()
                                            .where(backup.c.key.between(batch.lo, batch.hi))).scalars())
        report.rows = len(rows)
        changes = []  # (key, old value, new value, scheme)
        for row_key, data in rows:
            kind, data, reason = sort_value(data, self.keys.modulus_size)
            if kind is None:
                report.null += 1
            elif kind == POST_QUANTUM:
                if row_key in backed:
                    report.done_earlier += 1
                else:
                    report.post_quantum += 1
            elif kind == FAILED:
                report.failures.append((row_key, reason))
            else:
                result = convert(data, self.keys, self.settings.scheme)
                if result.status == MIGRATED:
                    changes.append((row_key, data, result.ciphertext, result.scheme))
                else:
                    report.failures.append((row_key, result.reason))
        if changes:
            self._write(changes, report)
        return report

    def _write(self, changes: list, report: RowReport) -> None:
        import sqlalchemy

        tables = self.tables
        key, value, backup = tables.key, tables.value, tables.backup
        when = datetime.now(UTC)
        run = self.settings.run
        guarded = (sqlalchemy.update(tables.table)
                   .where(key == sqlalchemy.bindparam("k_"), value == sqlalchemy.bindparam("old_"))
                   .values({value.name: sqlalchemy.bindparam("new_")}))
        unchanged = []
        with self.engine.connect().execution_options(halcyra_writes=True) as connection, connection.begin():
            # The old values first: no row changes before its old value is in the backup table.
            connection.execute(backup.insert(), [{"key": row_key, "old_value": old, "migrated_at": when, "run": run}
                                                 for row_key, old, _, _ in changes])
            for row_key, old, new, scheme in changes:
                if connection.execute(guarded, {"k_": row_key, "old_": old, "new_": new}).rowcount == 1:
                    report.by_scheme[scheme] += 1
                    report.bytes_in += len(old)
                    report.bytes_out += len(new)
                else:
                    unchanged.append(row_key)
            if unchanged:
                connection.execute(sqlalchemy.delete(backup).where(backup.c.run == run,
                                                                   backup.c.key.in_(unchanged)))
        report.changed += len(unchanged)

    def close(self) -> None:
        self.engine.dispose()


def sort_value(data, modulus_size: int) -> tuple[str | None, bytes | None, str | None]:
    """(what a stored value is: None for NULL, or classify()'s kind; the value as bytes; why
    it cannot be migrated)."""
    if data is None:
        return None, None, None
    if isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
    if not isinstance(data, bytes):
        return FAILED, None, f"a {type(data).__name__} value, not bytes: not a ciphertext"
    kind, reason = classify(len(data), data, modulus_size)
    return kind, data, reason


def _transient(error) -> bool:
    """Whether trying again on a new connection may succeed: a lost connection, a busy or
    restarting database."""
    import sqlalchemy

    return error.connection_invalidated or isinstance(error, sqlalchemy.exc.OperationalError)


def _reason(error) -> str:
    text = str(getattr(error, "orig", None) or error).strip().splitlines()
    return text[0] if text else type(error).__name__


# --- in a worker process of this machine ---------------------------------------------------

_worker: RowWorker | None = None


def start(settings: RowSettings) -> None:
    """Initialiser of each worker process of this machine."""
    global _worker
    # As for the directory store's workers: the coordinator decides what stops, and when;
    # the kernel ends the worker with its parent (Linux).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if sys.platform.startswith("linux"):
        import ctypes
        try:
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    _worker = RowWorker(settings)


def process(batch: RowBatch) -> RowReport:
    return _worker.process(batch)


# --- in a worker of a cluster ----------------------------------------------------------------

_lock = threading.Lock()
_served: dict[str, RowWorker] = {}


def cluster_batch(settings: RowSettings, batch: RowBatch) -> RowReport:
    """A batch on a cluster's worker, which keeps one RowWorker (keys parsed, connection pool)
    per run it serves."""
    with _lock:
        worker = _served.get(settings.token)
        if worker is None:
            for old in _served.values():
                old.close()
            _served.clear()
            worker = _served[settings.token] = RowWorker(settings)
    return worker.process(batch)
