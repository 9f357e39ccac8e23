"""The database store, on the coordinating side: a column of a table migrated in place while
the application keeps using the table, each old value kept in a backup table that this tool
creates and never drops.

The coordinator checks everything before anything changes (the URL, the table and its
columns, the state directory and the migration's identity, the legacy key on the first
classic values), then plans the run as ranges of keys in key order, a batch each, which the
workers (_rows.py) read, convert and write with guarded updates. It journals each finished
range, so that a run that was stopped, killed or cut off from the database is continued by
the next from where the finished ranges end; a run that went through the whole table is
followed by one that goes through it again, for the rows inserted meanwhile.
"""

import time

from . import _rows
from ._engine import Processes, Summary, Tally, _finish, _read_state, begin_run, drive
from ._errors import Refused
from ._fs import new_prefix
from ._item import CLASSIC, HEAD_SIZE, POST_QUANTUM, classify, opens
from ._journal import JOURNAL, Journal
from ._plan import DASK, Plan
from ._state import StateDirectory
from ._target import require_sqlalchemy

# Rows per batch unless --batch says: a transaction of a few hundred milliseconds of writes.
BATCH = 256
# Rows a page of the dry run reads.
PAGE = 1000
KEY_CHECK_ROWS = 16
NULL_LABEL = "empty (NULL):"
CHANGED_LABEL = "changed by the application:"


class _Table:
    """The coordinator's connection to the store, and what it reads."""

    def __init__(self, plan: Plan) -> None:
        sqlalchemy = require_sqlalchemy()
        self.sql = sqlalchemy
        self.target = target = plan.database
        self.engine = _rows.connect(target)
        try:
            self.tables = _rows.Tables.reflect(target, self.engine)
            self.has_backup = self.tables.check_backup(self.engine, target, create=False)
        except LookupError as error:
            self.engine.dispose()
            raise Refused(str(error)) from None
        except sqlalchemy.exc.DBAPIError as error:
            self.engine.dispose()
            raise Refused(f"{target.shown}: the database cannot be reached: {_rows._reason(error)}") from None

    def scalar(self, query):
        with self.engine.connect() as connection:
            return connection.execute(query).scalar()

    def count(self, after=None) -> int:
        """Rows in all, or (after) those whose key is at most `after`."""
        query = self.sql.select(self.sql.func.count()).select_from(self.tables.table)
        if after is not None:
            query = query.where(self.tables.key <= after)
        return self.scalar(query)

    def check_keys(self) -> None:
        """Refused unless the keys are integers or text, which the journal can keep."""
        key = self.tables.key
        first = self.scalar(self.sql.select(key).order_by(key).limit(1))
        if first is not None and not (type(first) is int or isinstance(first, str)):
            raise Refused(f"{self.target.shown}: key={self.target.key} holds {type(first).__name__} values; the "
                          f"key must be a column of integers or text")

    def pages(self, after, size: int, *, columns=None):
        """Lists of rows (the key, and `columns`) in key order after `after`, `size` at a time."""
        key = self.tables.key
        while True:
            query = self.sql.select(key, *(columns or ())).order_by(key).limit(size)
            if after is not None:
                query = query.where(key > after)
            with self.engine.connect() as connection:
                rows = connection.execute(query).all()
            if not rows:
                return
            yield rows
            after = rows[-1][0]

    def keys_after(self, after, size: int) -> list:
        return [row[0] for row in next(self.pages(after, size), [])]

    def backed_up(self, lo, hi) -> set:
        backup = self.tables.backup
        if not self.has_backup:
            return set()
        with self.engine.connect() as connection:
            return set(connection.execute(self.sql.select(backup.c.key).distinct()
                                          .where(backup.c.key.between(lo, hi))).scalars())

    def close(self) -> None:
        self.engine.dispose()


def _check_legacy_key(plan: Plan, table: _Table) -> None:
    """Refused when the legacy key opens none of the first values of the classic size: it is
    not the table's key (or they were not made with --scheme)."""
    sql, tables = table.sql, table.tables
    query = (sql.select(tables.key, tables.value).where(sql.func.length(tables.value) == plan.modulus_size)
             .order_by(tables.key).limit(KEY_CHECK_ROWS))
    with table.engine.connect() as connection:
        rows = connection.execute(query).all()
    tried = []
    for key, value in rows:
        if not isinstance(value, (bytes, bytearray, memoryview)) or len(value) != plan.modulus_size:
            continue
        if opens(bytes(value), plan.keys, plan.scheme):
            return
        tried.append(key)
    if tried:
        how = "" if plan.scheme == "auto" else f" as {plan.scheme}"
        raise Refused(f"the legacy key opens none of the first {len(tried)} values of its ciphertext size{how} "
                      f"({table.target.key}={tried[0]!r}, ...): it is not the key they were made for, and nothing "
                      f"was changed")


def _opened(plan: Plan, state: StateDirectory | None, *, lock: bool):
    """(the table, the journal or None, the identity or None, whether it is written), every
    check made, nothing changed."""
    table = _Table(plan)
    try:
        identity, journal, written = _read_state(plan, state, lock=lock) if state else (None, None, False)
        table.check_keys()
        if identity is None:
            _check_legacy_key(plan, table)
    except BaseException:
        table.close()
        raise
    return table, journal, identity, written


def dry_run_table(plan: Plan) -> Summary:
    """What a run would do, with nothing changed: each value's length and first bytes read."""
    state = StateDirectory(plan.state)
    table, journal, _, _ = _opened(plan, state, lock=False)
    try:
        summary = Summary(plan, Tally(), dry_run=True, torn_bytes=journal.torn_bytes if journal else 0, unit="rows")
        tally = summary.tally
        point = journal.resume_point() if journal else None
        if point is not None:
            tally.done_earlier += table.count(point)
        sql, tables = table.sql, table.tables
        columns = (sql.func.length(tables.value), sql.func.substr(tables.value, 1, HEAD_SIZE))
        nulls = 0
        for rows in table.pages(point, PAGE, columns=columns):
            backed = table.backed_up(rows[0][0], rows[-1][0])
            for key, size, head in rows:
                if size is None:
                    nulls += 1
                    continue
                if isinstance(head, (bytes, bytearray, memoryview)):
                    kind, reason = classify(size, bytes(head), plan.modulus_size)
                else:
                    kind, _, reason = _rows.sort_value(head, plan.modulus_size)
                if kind == POST_QUANTUM:
                    if key in backed:
                        tally.done_earlier += 1
                    else:
                        tally.post_quantum += 1
                elif kind == CLASSIC:
                    tally.add_migrated(None, size)
                else:
                    tally.fail(_shown_key(plan, key), reason)
        if nulls:
            summary.more_counts.append((NULL_LABEL, nulls, "left as they are"))
        return summary
    finally:
        table.close()
        state.close()


def run_table(plan: Plan, *, progress=None, should_stop=lambda: False) -> Summary:
    """Runs the migration of a column (as _engine.run() for a directory)."""
    state = StateDirectory(plan.state)
    cluster = None
    table = None
    try:
        table, journal, identity, written = _opened(plan, state, lock=True)
        if plan.engine == DASK:
            from ._cluster import DaskPool
            cluster = DaskPool(plan)
        target = plan.database
        summary = Summary(plan, Tally(), dry_run=False, journal=state.shown(JOURNAL), unit="rows",
                          backup=f"the table {target.backup}")
        point = journal.resume_point() if journal else None
        # The first changes: the state directory, the identity, the journal, the backup table.
        try:
            if state.fd is None:
                state.open(create=True)
                state.lock()
            # A table leaves no temporary files; the prefix keeps the run record's one form.
            journal, run_number = begin_run(plan, state, journal, summary, written=written, prefix=new_prefix(),
                                            **{"from": point})
        except OSError as error:
            raise Refused(f"{plan.state}: {error.strerror}") from None
        try:
            table.tables.check_backup(table.engine, target, create=True)
        except (LookupError, table.sql.exc.DBAPIError) as error:
            why = _rows._reason(error) if isinstance(error, table.sql.exc.DBAPIError) else str(error)
            summary.stopped = f"the backup table cannot be made ({why}); nothing was changed"
            _finish(plan, state, journal, summary, run_number, clean=True)
            return summary
        if cluster is not None:
            summary.workers = cluster.describe()
        _migrate(plan, table, journal, summary, run_number, point, progress, should_stop, cluster)
        _finish(plan, state, journal, summary, run_number, clean=True, complete=summary.complete)
        return summary
    finally:
        if cluster is not None:
            cluster.close()
        if table is not None:
            table.close()
        state.close()


def _migrate(plan: Plan, table: _Table, journal: Journal, summary: Summary, run_number: int, point, progress,
             should_stop, cluster) -> None:
    tally = summary.tally
    target = plan.database
    counted = {"null": 0, "changed": 0}
    try:
        total = table.count()
        if point is not None:
            tally.done_earlier += table.count(point)
    except table.sql.exc.DBAPIError as error:
        summary.stopped = _unavailable(_rows._reason(error))
        return
    settings = _rows.RowSettings(target, run_number, new_prefix(), plan.legacy_key, plan.target_key,
                                 plan.verify_key, plan.scheme)
    planned = _Planner(table, point, plan.batch or BATCH, summary)

    def take(report: _rows.RowReport) -> int:
        for scheme, count in report.by_scheme.items():
            tally.migrated += count
            tally.by_scheme[scheme] = tally.by_scheme.get(scheme, 0) + count
        tally.bytes_in += report.bytes_in
        tally.bytes_out += report.bytes_out
        tally.post_quantum += report.post_quantum
        tally.done_earlier += report.done_earlier
        counted["null"] += report.null
        counted["changed"] += report.changed
        for key, reason in report.failures:
            tally.fail(_shown_key(plan, key), reason)
        journal.add({"t": "range", "run": run_number, "seq": report.seq, "lo": report.lo, "hi": report.hi})
        return report.rows

    # The coordinator's own connections are closed before the workers start, which then open theirs.
    table.engine.dispose()
    if cluster is not None:
        pool = cluster.start(_rows.cluster_batch, settings)
    else:
        # forkserver: a worker shares no connection, nor anything else, with the coordinator.
        pool = Processes(plan.jobs, _rows.process, _rows.start, (settings,), context="forkserver")
    bar = progress(total) if progress is not None else None
    try:
        if bar is not None and tally.done_earlier:
            bar.advance(tally.done_earlier)
        started = time.monotonic()
        clean = drive(pool, iter(planned), take, journal, summary, bar, should_stop, unit="rows",
                      failed=_batch_failed)
        summary.seconds = time.monotonic() - started
    finally:
        if bar is not None:
            bar.close()
    summary.complete = clean and planned.exhausted and not summary.interrupted and summary.stopped is None
    tally.not_reached = 0 if summary.complete else max(0, total - tally.total - counted["null"] - counted["changed"])
    if counted["null"]:
        summary.more_counts.append((NULL_LABEL, counted["null"], "left as they are"))
    if counted["changed"]:
        summary.more_counts.append((CHANGED_LABEL, counted["changed"],
                                    "left as the application wrote them; the next run takes any still classic"))


class _Planner:
    """The batches of a run: ranges of `size` keys in key order, after `point`."""

    def __init__(self, table: _Table, point, size: int, summary: Summary) -> None:
        self.table, self.point, self.size, self.summary = table, point, size, summary
        self.exhausted = False

    def __iter__(self):
        sql = self.table.sql
        after = self.point
        seq = 0
        while True:
            try:
                keys = _with_retries(lambda: self.table.keys_after(after, self.size), sql)
            except sql.exc.DBAPIError as error:
                self.summary.stopped = self.summary.stopped or _unavailable(_rows._reason(error))
                return
            if keys:
                yield _rows.RowBatch(seq, keys[0], keys[-1])
                seq += 1
                after = keys[-1]
            if len(keys) < self.size:
                self.exhausted = True
                return


def _with_retries(step, sql):
    for attempt in range(_rows.ATTEMPTS):
        try:
            return step()
        except sql.exc.DBAPIError as error:
            if attempt == _rows.ATTEMPTS - 1 or not _rows._transient(error):
                raise
            time.sleep(_rows.FIRST_WAIT * 2**attempt)
    raise AssertionError("unreachable")


def _unavailable(reason: str) -> str:
    return (f"the database failed ({reason}); what was finished is kept, and the rows in progress were left as "
            f"they were: run the same command again")


def _batch_failed(error: BaseException) -> str:
    if isinstance(error, _rows.Unavailable):
        return _unavailable(str(error))
    return f"a worker failed ({type(error).__name__}: {error})"


def _shown_key(plan: Plan, key) -> str:
    return f"{plan.database.key}={key!r}" if isinstance(key, str) else f"{plan.database.key}={key}"
