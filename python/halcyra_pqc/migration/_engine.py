"""A migration run, and its dry run: the plan checked against the state directory, the store
listed, the legacy key checked on the store's first classic files, the work handed to worker
processes in batches, what they report journaled and counted.

Nothing changes until every check has passed: the arguments, the state directory, the
identity of the migration, the journal, the locks of the store and of its output, and, for
a new migration, the legacy key (a key that opens none of the first classic files is not
the store's key). The counts are those of the disk: whatever a worker finished is counted,
whether or not it could still be journaled.
"""

import multiprocessing
import os
import time
from collections import Counter
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from datetime import UTC, datetime

from . import _worker
from ._decide import COPY, COPY_FAILED, DONE_EARLIER, FAIL, LEAVE, MIGRATE, RECOVERED, action, not_a_file, settled
from ._directory import LINK, DirectoryStore, Entry, Listing
from ._errors import Damaged, Refused
from ._fs import leftover_matcher, new_prefix, remove_quietly, replace_in
from ._item import HEAD_SIZE, MIGRATED, POST_QUANTUM, classify, opens
from ._journal import IDENTITY, IDENTITY_FIELDS, JOURNAL, Journal, read_identity, write_identity
from ._plan import DASK, Plan
from ._state import FAILURES, WITHDRAWN, StateDirectory
from ._text import shown

# Files per task sent to a worker: enough to share the fsyncs of a batch, few enough that
# Ctrl-C stops within a fraction of a second.
BATCH = 32
# A new migration starts only if the legacy key opens one of the store's first classic files.
KEY_CHECK_FILES = 16


@dataclass
class Tally:
    migrated: int = 0
    by_scheme: dict[str, int] = field(default_factory=dict)
    post_quantum: int = 0
    done_earlier: int = 0
    recovered: int = 0
    failures: list[tuple[str, str]] = field(default_factory=list)
    copied_failures: int = 0
    bytes_in: int = 0
    bytes_out: int = 0
    not_reached: int = 0
    # (what, why) -> how many files, and how many directories, did not keep it
    lost_files: Counter = field(default_factory=Counter)
    lost_directories: Counter = field(default_factory=Counter)

    def add_migrated(self, scheme: str | None, bytes_in: int = 0, bytes_out: int = 0) -> None:
        self.migrated += 1
        if scheme is not None:
            self.by_scheme[scheme] = self.by_scheme.get(scheme, 0) + 1
        self.bytes_in += bytes_in
        self.bytes_out += bytes_out

    def fail(self, relative: str, reason: str) -> None:
        self.failures.append((relative, reason))

    def counts(self) -> dict[str, int]:
        return {"migrated": self.migrated, "post_quantum": self.post_quantum, "done_earlier": self.done_earlier,
                "recovered": self.recovered, "failed": len(self.failures), "not_reached": self.not_reached}

    @property
    def total(self) -> int:
        return (self.migrated + self.post_quantum + self.done_earlier + self.recovered + len(self.failures)
                + self.not_reached)


@dataclass
class Summary:
    """What a run did, for the operator."""

    plan: Plan
    tally: Tally
    dry_run: bool
    seconds: float = 0.0
    journal: str | None = None
    backup: str | None = None
    failure_list: str | None = None
    leftovers: int = 0  # temporary files of interrupted runs, removed (or to be)
    torn_bytes: int = 0  # of the journal's torn last record, cut off
    departed: int = 0  # recorded files that left the store since
    withdrawn: str | None = None  # where their outputs went, out of place
    unrecorded: int = 0  # finished but not journaled (the journal could not be written)
    interrupted: bool = False
    stopped: str | None = None
    unit: str = "files"  # what the store's items are, for the operator
    complete: bool = False  # a table's run went through every row
    workers: str | None = None  # what did the work, when not the plan's --jobs processes
    # (label, count, note) of what else the store counted: a table's NULLs, the rows its
    # application changed during the run
    more_counts: list[tuple[str, int, str]] = field(default_factory=list)


def run(plan: Plan, *, progress=None, should_stop=lambda: False) -> Summary:
    """Runs the migration. `progress(total)` makes an object with advance(count), note(text)
    and close(); `should_stop()` is polled, and once true no new batch starts."""
    if plan.database is not None:
        from ._database import run_table
        return run_table(plan, progress=progress, should_stop=should_stop)
    store = DirectoryStore(plan.source, plan.out)
    state = StateDirectory(plan.state)
    cluster = None
    try:
        store.open()
        if plan.engine == DASK:
            from ._cluster import DaskPool
            cluster = DaskPool(plan)
        identity, journal, written = _read_state(plan, state, lock=True)
        new = identity is None
        if new:
            store.check_new_output()
        listing = store.scan(leftover_matcher(journal.prefixes_to_sweep() if journal else set()))
        if new:
            _check_legacy_key(plan, store, listing)
        summary = Summary(plan, Tally(), dry_run=False, journal=state.shown(JOURNAL))
        # The first changes: the state directory, the output directory, the identity.
        try:
            if state.fd is None:
                state.open(create=True)
                state.lock()
            if plan.out is not None:
                _lost_directories(summary.tally, store.make_output())
                if new:
                    store.check_new_output()
            prefix = new_prefix()
            journal, run_number = begin_run(plan, state, journal, summary, written=written, prefix=prefix)
        except OSError as error:
            raise Refused(f"{plan.state}: {error.strerror}") from None
        if cluster is not None:
            summary.workers = cluster.describe()
        _migrate(plan, store, state, journal, listing, summary, run_number, prefix, progress, should_stop, cluster)
        return summary
    finally:
        if cluster is not None:
            cluster.close()
        store.close()
        state.close()


def begin_run(plan: Plan, state: StateDirectory, journal, summary: "Summary", *, written: bool, prefix: str,
              **record) -> tuple[Journal, int]:
    """Writes the identity of a new migration, opens the journal for appending and records
    the run's start (with `record`'s fields); returns the journal and the run's number."""
    if not written:
        write_identity(state.fd, plan.identity())
    if journal is None:
        journal = Journal(state.fd, state.shown(JOURNAL))
    journal.open_for_append()
    summary.torn_bytes = journal.torn_bytes
    run_number = len(journal.runs)
    journal.add({"t": "run", "run": run_number, "tmp": prefix, **plan.identity(),
                 "verify": plan.verify_key is not None, "jobs": plan.jobs, **record,
                 "started": datetime.now(UTC).isoformat(timespec="seconds")})
    journal.sync()
    return journal, run_number


def dry_run(plan: Plan) -> Summary:
    """What a run would do, with nothing changed."""
    if plan.database is not None:
        from ._database import dry_run_table
        return dry_run_table(plan)
    store = DirectoryStore(plan.source, plan.out)
    state = StateDirectory(plan.state) if plan.state else None
    try:
        store.open(lock=False)
        identity, journal, _ = _read_state(plan, state, lock=False) if state else (None, None, False)
        prefixes = journal.prefixes_to_sweep() if journal else set()
        is_leftover = leftover_matcher(prefixes)
        listing = store.scan(is_leftover)
        if identity is None:
            _check_legacy_key(plan, store, listing)
        summary = Summary(plan, Tally(), dry_run=True, torn_bytes=journal.torn_bytes if journal else 0)
        if state is not None and state.fd is not None:
            store.attach_backup(state, create=False)
        if prefixes:
            summary.leftovers = len(listing.leftovers) + store.count_leftovers(is_leftover)
        tally = summary.tally
        done = journal.done if journal else {}
        summary.departed = len(_departed(listing, done))
        out = plan.out is not None
        for entry in listing.entries:
            if entry.problem is not None:
                _count_planned(tally, entry, not_a_file(link=entry.kind == LINK, out=out), entry.problem)
                continue
            if settled(out=out, recorded_identity=done.get(entry.relative), identity=entry.identity,
                       output_exists=lambda: store.has_output(entry.relative)):
                tally.done_earlier += 1
                continue
            try:
                head = store.read(entry, HEAD_SIZE)
            except OSError as error:
                tally.fail(entry.relative, error.strerror)
                continue
            if head is None:
                tally.fail(entry.relative, "not a regular file")
                continue
            kind, reason = classify(entry.size, head, plan.modulus_size)
            _count_planned(tally, entry, action(kind, out=out, recorded=entry.relative in done,
                                                has_backup=lambda: store.has_backup(entry.relative)), reason)
        return summary
    finally:
        store.close()
        if state is not None:
            state.close()


def _count_planned(tally: Tally, entry: Entry, todo: str, reason: str | None) -> None:
    if todo == MIGRATE:
        tally.add_migrated(None, entry.size)
    elif todo in (COPY, LEAVE):
        tally.post_quantum += 1
    elif todo == DONE_EARLIER:
        tally.done_earlier += 1
    elif todo == RECOVERED:
        tally.recovered += 1
    else:
        tally.fail(entry.relative, reason)
        tally.copied_failures += todo == COPY_FAILED


# --- checks before anything changes --------------------------------------------------------


def _read_state(plan: Plan, state: StateDirectory, *, lock: bool) -> tuple[dict | None, Journal | None, bool]:
    """(the migration's identity, its journal, whether the identity is written out) from an
    existing state directory, all checked; (None, None, False) when there is none yet."""
    try:
        if not state.open(create=False):
            return None, None, False
        if lock:
            state.lock()
        identity = read_identity(state.fd, state.shown(IDENTITY))
        journal = Journal(state.fd, state.shown(JOURNAL))
        journal.load()
    except OSError as error:
        raise Refused(f"{plan.state}: {error.strerror}") from None
    written = identity is not None
    first = journal.first_run
    if identity is None and first is not None:
        # A journal of version 1, from before the identity file: its first run is the identity.
        identity = {name: first.get(name) for name in IDENTITY_FIELDS}
    elif identity is not None and first is not None and any(
            first[name] != identity[name] for name in IDENTITY_FIELDS if name in first):
        raise Damaged(f"{journal.shown}: its first run is of another migration than {state.shown(IDENTITY)} "
                      f"says; nothing was changed. Restore the state directory from a copy, or give another --state")
    if identity is None:
        return None, journal, False
    _check_identity(plan, state, identity)
    return identity, journal, written


def _check_identity(plan: Plan, state: StateDirectory, identity: dict) -> None:
    wanted = plan.identity()
    if any(identity[name] != wanted[name] for name in ("mode", "source", "out", "target")):
        where = f"to {identity['out']}" if identity["out"] else "in place"
        raise Refused(
            f"{plan.state} belongs to another migration (of {identity['source']} {where}, to the key "
            f"{identity['target']}): give the same source, destination and --to to resume it, or another --state")
    if identity["legacy"] != wanted["legacy"]:
        raise Refused(
            f"{plan.state}: this migration reads the old files with the legacy key {identity['legacy']}, not "
            f"{wanted['legacy']}: resume it with the same --legacy-key (another key would fail every file)")
    if identity["scheme"] != wanted["scheme"]:
        raise Refused(f"{plan.state}: this migration reads the old files with --scheme {identity['scheme']}: "
                      f"resume it with the same --scheme")


def _check_legacy_key(plan: Plan, store, listing: Listing) -> None:
    """Refused when the legacy key opens none of the store's first classic-sized files: it is
    not the store's key (or they were not made with --scheme), and a run would fail them all."""
    tried = []
    for entry in listing.entries:
        if entry.problem is not None or entry.size != plan.modulus_size:
            continue
        try:
            data = store.read(entry, entry.size)
        except OSError:
            continue
        if data is None or len(data) != entry.size:
            continue
        if opens(data, plan.keys, plan.scheme):
            return
        tried.append(entry.relative)
        if len(tried) == KEY_CHECK_FILES:
            break
    if tried:
        how = "" if plan.scheme == "auto" else f" as {plan.scheme}"
        raise Refused(f"the legacy key opens none of the first {len(tried)} files of its ciphertext size{how} "
                      f"({shown(tried[0])}, ...): it is not the key they were made for, and nothing was changed")


# --- the run ---------------------------------------------------------------------------------


def _migrate(plan: Plan, store: DirectoryStore, state: StateDirectory, journal: Journal, listing: Listing,
             summary: Summary, run_number: int, prefix: str, progress, should_stop, cluster) -> None:
    tally = summary.tally
    in_place = plan.in_place
    clean = True
    try:
        store.attach_backup(state, create=False)
        sweep = journal.prefixes_to_sweep() - {prefix}  # this run has made none yet
        if sweep:
            removed, remaining = store.sweep(leftover_matcher(sweep), listing)
            summary.leftovers = removed
            clean = remaining == 0
        departed = _departed(listing, journal.done)
        summary.departed = len(departed)
        stuck = set(store.withdraw(state, departed)) if not in_place else set()
        if departed and not in_place:
            summary.withdrawn = state.shown(WITHDRAWN)
        for relative in departed:
            if relative not in stuck:
                journal.add({"t": "gone", "path": relative, "run": run_number})
        work = []
        for entry in listing.entries:
            if entry.problem is not None and not_a_file(link=entry.kind == LINK, out=not in_place) == FAIL:
                tally.fail(entry.relative, entry.problem + ("" if in_place else " (not copied)"))
            elif settled(out=not in_place, recorded_identity=journal.done.get(entry.relative),
                         identity=entry.identity, output_exists=lambda: store.has_output(entry.relative)):
                tally.done_earlier += 1
            else:
                work.append(entry)
        prepared, lost = store.prepare(state, work, plan.modulus_size)
        _lost_directories(tally, lost)
        journal.sync()
    except OSError as error:
        summary.stopped = f"the store cannot be prepared ({error.strerror}): run the same command again"
        tally.not_reached = len(listing.entries) - tally.total
        _finish(plan, state, journal, summary, run_number, clean=False)
        return
    if in_place:
        summary.backup = state.shown("backup")
    settings = store.worker_settings(state, prefix=prefix, keys=(plan.legacy_key, plan.target_key, plan.verify_key),
                                     scheme=plan.scheme)
    store.release_directories()
    items = [_worker.Item(entry.relative, "link" if entry.kind == LINK else "file",
                          entry.relative in journal.done) for entry in work]

    def record(reports: list[_worker.Report]) -> None:
        for report in reports:
            _count(report, tally)
            if report.status in (MIGRATED, RECOVERED) or (report.status == POST_QUANTUM and not in_place):
                done = {"t": "done", "path": report.relative,
                        "status": POST_QUANTUM if report.status == POST_QUANTUM else MIGRATED, "run": run_number}
                if report.scheme:
                    done["scheme"] = report.scheme
                if report.backup:
                    done["backup"] = report.backup
                if not in_place:
                    done["id"] = list(report.identity)
                journal.add(done)

    bar = progress(len(listing.entries)) if progress is not None else None
    try:
        if bar is not None:
            bar.advance(len(listing.entries) - len(work))
        processing = time.monotonic()
        handled, clean_work = _execute(plan, settings, items, (listing.directories, prepared), record, journal,
                                       summary, bar, should_stop, cluster)
        summary.seconds = time.monotonic() - processing
    finally:
        if bar is not None:
            bar.close()
    tally.not_reached = len(work) - handled
    _finish(plan, state, journal, summary, run_number, clean=clean and clean_work)


def _departed(listing: Listing, done: dict) -> list[str]:
    """Files an earlier run recorded that are no longer in the store (and not merely in a
    directory that could not be listed)."""
    listed = {entry.relative for entry in listing.entries}
    hidden = tuple(directory + "/" for directory in listing.unreadable)
    return sorted(relative for relative in done if relative not in listed
                  and not (hidden and (relative + "/").startswith(hidden)))


def _count(report: _worker.Report, tally: Tally) -> None:
    if report.status == MIGRATED:
        tally.add_migrated(report.scheme, report.bytes_in, report.bytes_out)
    elif report.status == POST_QUANTUM:
        tally.post_quantum += 1
    elif report.status == DONE_EARLIER:
        tally.done_earlier += 1
    elif report.status == RECOVERED:
        tally.recovered += 1
    else:
        tally.fail(report.relative, report.reason or "failed")
        tally.copied_failures += report.copied
    tally.lost_files.update(report.lost)


def _lost_directories(tally: Tally, lost: list) -> None:
    tally.lost_directories.update(lost)


def _batches(items: list, listed: dict, prepared: dict, jobs: int, batch: int | None = None):
    """Batches of items, each with the nodes its directories (and their parents) must be."""
    size = batch or max(1, min(BATCH, -(-len(items) // (jobs * 4))))
    for start in range(0, len(items), size):
        chunk = items[start:start + size]
        directories = {}
        for item in chunk:
            directory = item.relative.rpartition("/")[0]
            while directory not in directories:
                directories[directory] = (listed[directory], prepared.get(directory))
                if not directory:
                    break
                directory = directory.rpartition("/")[0]
        yield _worker.Batch(chunk, directories)


def _execute(plan: Plan, settings, items: list, nodes: tuple[dict, dict], record, journal: Journal,
             summary: Summary, bar, should_stop, cluster=None) -> tuple[int, bool]:
    """Runs the batches (on `cluster`, a DaskPool, when given); returns how many items were
    handled, and whether every batch ended normally (no temporary file can be left)."""
    if not items:
        return 0, True
    handled = 0

    def take(reports: list[_worker.Report]) -> int:
        nonlocal handled
        record(reports)
        handled += len(reports)
        return len(reports)

    batches = _batches(items, *nodes, plan.jobs, plan.batch)
    if cluster is not None:
        from ._cluster import directory_batch
        pool = cluster.start(directory_batch, settings)
    else:
        # fork: the workers start at once with the keys already parsed, and the coordinator has
        # no thread yet when they are made.
        pool = Processes(plan.jobs, _worker.process, _worker.start, (settings, os.getpid()), context="fork")
    clean = drive(pool, batches, take, journal, summary, bar, should_stop, unit="files")
    return handled, clean


class Processes:
    """Worker processes of this machine, each made by `initializer(*initargs)`."""

    def __init__(self, jobs: int, function, initializer, initargs: tuple, *, context: str) -> None:
        self.width = jobs
        self._function = function
        self._executor = ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context(context),
                                             initializer=initializer, initargs=initargs)

    def submit(self, batch):
        return self._executor.submit(self._function, batch)

    @staticmethod
    def wait(futures: set, timeout: float) -> tuple[set, set]:
        return wait(futures, timeout=timeout, return_when=FIRST_COMPLETED)

    @staticmethod
    def died(error: BaseException) -> bool:
        return isinstance(error, BrokenProcessPool)

    def kill(self) -> None:
        self._executor.kill_workers()

    def close(self) -> None:
        self._executor.shutdown(wait=True, cancel_futures=True)


def _worker_failed(error: BaseException) -> str:
    return f"a worker failed ({type(error).__name__}: {error})"


def drive(pool, batches, take, journal: Journal, summary: Summary, bar, should_stop, *, unit: str,
          failed=_worker_failed) -> bool:
    """Keeps the pool busy with `batches` until they run out or the run is asked to stop;
    `take(result)` counts and journals each batch's result as it arrives, returning how many
    items it handled. Returns whether every batch ended normally (`failed(error)` says why a
    batch that raised stops the run). The pool is closed at the end."""
    clean = True
    in_flight = set()
    told = False
    try:
        while True:
            stopping = summary.stopped is not None or should_stop()
            while not stopping and len(in_flight) < pool.width * 2:
                batch = next(batches, None)
                if batch is None:
                    break
                in_flight.add(pool.submit(batch))
            if not in_flight:
                break
            done, in_flight = pool.wait(in_flight, 0.5)
            for future in done:
                try:
                    result = future.result()
                except Exception as error:
                    if pool.died(error):
                        raise
                    # A fault of the batch: its items are found again by the next run.
                    summary.stopped = summary.stopped or failed(error)
                    clean = False
                    continue
                count = take(result)
                if bar is not None:
                    bar.advance(count)
            try:
                journal.sync()
            except OSError as error:
                # What is in flight is finished and counted all the same; the next run finds
                # what could not be recorded.
                summary.stopped = summary.stopped or f"the journal cannot be written ({error.strerror})"
            if should_stop() and not told and bar is not None:
                told = True
                bar.note(f"stopping after the {unit} in progress (press Ctrl-C again to stop at once)")
        summary.interrupted = should_stop()
    except KeyboardInterrupt:
        clean = False
        summary.interrupted = True
        pool.kill()
    except Exception as error:
        if not pool.died(error):
            raise
        clean = False
        summary.stopped = (f"a worker process died; what was finished is recorded, and {unit} it was working on "
                           f"are found again by the next run: run the same command again")
    finally:
        pool.close()
    if summary.stopped and summary.stopped.startswith("the journal"):
        summary.stopped += ": run the same command again"
    return clean


def _finish(plan: Plan, state: StateDirectory, journal: Journal, summary: Summary, run_number: int, *,
            clean: bool, **more) -> None:
    journal.add({"t": "end", "run": run_number, "clean": clean and summary.stopped is None,
                 **summary.tally.counts(), "seconds": round(summary.seconds, 3), **more})
    try:
        journal.close()
    except OSError as error:
        summary.stopped = summary.stopped or f"the journal cannot be written ({error.strerror}): run it again"
    summary.unrecorded = journal.lost_records
    summary.failure_list = _write_failures(state, summary.tally)


def _write_failures(state: StateDirectory, tally: Tally) -> str | None:
    """The failure list, one file a line: its name (escaped as the summary shows it), a tab,
    the reason."""
    try:
        if not tally.failures:
            remove_quietly(state.fd, FAILURES)
            return None
        tally.failures.sort()
        lines = "".join(f"{shown(relative)}\t{reason}\n" for relative, reason in tally.failures)
        replace_in(state.fd, FAILURES, lines.encode("utf-8", "backslashreplace"))
    except OSError:
        return None
    return state.shown(FAILURES)
