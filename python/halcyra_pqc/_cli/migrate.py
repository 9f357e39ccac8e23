"""`migrate`: re-encrypts every classic ciphertext file under a directory to a post-quantum
key, in worker processes, resumably.

A migration has a state directory (by default beside the directory it writes to) with its
journal, its lock and, in place, the backup tree of the originals. The first run fixes
what the migration is (the store, the destination, the target key); later runs with the same
arguments resume it. Per file, the work is done by worker.process(); this module plans the
run, lists the store, feeds the workers, journals what they report and sums it up.
"""

import fcntl
import multiprocessing
import os
import signal
import sys
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from datetime import UTC, datetime

from .. import public_key_bytes
from .._keys import LegacyKey, modulus_size
from ..migration import CLASSIC, FAILED, HEAD_SIZE, MIGRATED, POST_QUANTUM, classify
from . import durable, keyfiles, store, worker
from .exits import FAILED as EXIT_FAILED
from .exits import INTERRUPTED, OK, STOPPED, UsageError
from .journal import Journal
from .progress import Progress
from .summary import Tally, report

STATE_SUFFIX = ".halcyra-migration"
# Files per task sent to a worker: enough to share the fsyncs of a batch, few enough that
# Ctrl-C stops within a fraction of a second.
BATCH = 32


@dataclass(frozen=True)
class Plan:
    source: str
    out: str | None
    in_place: bool
    state: str | None
    legacy_key: bytes
    legacy_fingerprint: str
    modulus_size: int
    target_key: bytes
    target_fingerprint: str
    verify_key: bytes | None
    scheme: str
    jobs: int
    progress_every: float

    @property
    def mode(self) -> str:
        return "in-place" if self.in_place else "out"

    @property
    def backup(self) -> str | None:
        return os.path.join(self.state, "backup") if self.in_place and self.state else None

    @property
    def journal(self) -> str | None:
        return os.path.join(self.state, "journal") if self.state else None

    def skipped_directories(self) -> set[str]:
        return {path for path in (self.out, self.state) if path}


def migrate(args) -> int:
    plan = _plan(args)
    if args.dry_run:
        return _dry_run(plan)
    return _run(plan)


# --- planning ------------------------------------------------------------------------------


def _plan(args) -> Plan:
    source = os.path.realpath(args.source)
    if not os.path.isdir(source):
        raise UsageError(f"{args.source}: not a directory")
    if not os.access(source, os.R_OK | os.X_OK):
        raise UsageError(f"{args.source}: the directory cannot be read")
    if not (args.in_place or args.out or args.dry_run):
        raise UsageError("say where the migrated files go: --out DIR (originals untouched) "
                         "or --in-place (originals kept in a backup)")
    out = os.path.realpath(args.out) if args.out else None
    if out is not None:
        if out == source:
            raise UsageError("--out is the source directory: use --in-place to replace the files there")
        if _within(source, out):
            raise UsageError("the source directory lies inside --out, where outputs could replace originals")
        if os.path.exists(out) and not os.path.isdir(out):
            raise UsageError(f"{args.out}: not a directory")
    written = source if args.in_place else out
    state = os.path.realpath(args.state) if args.state else (written + STATE_SUFFIX if written else None)
    if state is not None and (_within(source, state) or (out and (_within(state, out) or _within(out, state)))):
        raise UsageError("--state must be a directory of its own, apart from the source and output directories")

    legacy_data, legacy = keyfiles.private_key(args.legacy_key, args.legacy_passphrase_file, purpose="migration",
                                               passphrase_option="--legacy-passphrase-file")
    if not isinstance(legacy, LegacyKey):
        raise UsageError(f"{args.legacy_key}: a post-quantum key, whose ciphertexts need no conversion; "
                         f"--legacy-key takes the classic RSA private key of the old data")
    target = keyfiles.post_quantum_public_key(args.to, purpose="--to")
    verify = None
    if args.verify_with:
        verify, verify_key = keyfiles.private_key(args.verify_with, args.verify_passphrase_file,
                                                  purpose="--verify-with",
                                                  passphrase_option="--verify-passphrase-file")
        if isinstance(verify_key, LegacyKey) or public_key_bytes(verify) != target:
            raise UsageError(f"{args.verify_with}: not the private key of {args.to}")
    jobs = args.jobs if args.jobs is not None else (os.process_cpu_count() or 1)
    if jobs < 1:
        raise UsageError("--jobs must be at least 1")
    return Plan(source, out, bool(args.in_place), state, legacy_data, keyfiles.fingerprint(legacy_data, legacy),
                modulus_size(legacy.rsa_private), target, keyfiles.fingerprint(target), verify, args.scheme, jobs,
                args.progress_every)


def _within(path: str, root: str) -> bool:
    return os.path.commonpath([path, root]) == root


def _identity(plan: Plan) -> dict:
    return {"mode": plan.mode, "source": plan.source, "out": plan.out, "target": plan.target_fingerprint}


def _check_identity(plan: Plan, journal: Journal) -> None:
    first = journal.identity
    if first is None:
        return
    if {name: first.get(name) for name in _identity(plan)} != _identity(plan):
        where = f"to {first.get('out')}" if first.get("out") else "in place"
        raise UsageError(
            f"{plan.state} belongs to another migration (of {first.get('source')} {where}, to the key "
            f"{first.get('target')}): give the same source, destination and --to to resume it, or another --state")


# --- the run ---------------------------------------------------------------------------------


def _run(plan: Plan) -> int:
    started = time.monotonic()
    if plan.out is not None and not os.path.exists(plan.journal) and os.path.isdir(plan.out) and os.listdir(plan.out):
        raise UsageError(f"{plan.out}: not empty; a new migration writes to an empty or new directory")
    try:
        durable.make_directories(plan.state)
        lock = _lock(plan.state)
    except OSError as error:
        raise UsageError(f"{plan.state}: {error.strerror}") from None
    try:
        try:
            journal = Journal(plan.journal)
            _check_identity(plan, journal)
            journal.open_for_append()
            run_number = len(journal.runs)
            journal.add({"t": "run", **_identity(plan), "legacy": plan.legacy_fingerprint, "scheme": plan.scheme,
                         "verify": plan.verify_key is not None, "jobs": plan.jobs,
                         "started": datetime.now(UTC).isoformat(timespec="seconds")})
            journal.sync()
        except OSError as error:
            raise UsageError(f"{plan.journal}: {error.strerror}") from None
        return _migrate(plan, journal, run_number, started)
    finally:
        os.close(lock)


def _lock(state: str) -> int:
    fd = os.open(os.path.join(state, "lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise UsageError(f"{state}: another migration is running with this state directory") from None
    # The workers inherit the lock: should one outlive a killed parent, the next run is refused
    # until it is gone, rather than racing it.
    return fd


def _migrate(plan: Plan, journal: Journal, run_number: int, started: float) -> int:
    tally = Tally()
    listing = store.scan(plan.source, plan.skipped_directories())
    # Leftovers of a killed run: never renamed, never taken for data; removed before any work.
    leftovers = listing.leftovers + [path for root in (plan.out, plan.backup) if root and os.path.isdir(root)
                                     for path in store.leftovers(root)]
    for path in leftovers:
        try:
            durable.remove_quietly(path)
        except OSError:
            pass  # harmless where it is: only ever a leftover, never renamed
    work = []
    for entry in listing.entries:
        if entry.problem is not None:
            tally.fail(entry.relative, entry.problem)
        elif plan.out is not None and _recorded_output(plan, journal, entry):
            tally.done_earlier += 1
        else:
            work.append((entry.relative, entry.relative in journal.done))

    settings = worker.Settings(plan.source, plan.out, plan.backup, plan.legacy_key, plan.target_key, plan.scheme,
                               plan.verify_key)

    def record(reports: list[worker.Report]) -> None:
        for item in reports:
            _count(item, tally)
            if item.status in (MIGRATED, worker.RECOVERED) or (item.status == POST_QUANTUM and plan.out):
                status = POST_QUANTUM if item.status == POST_QUANTUM else MIGRATED
                entry = {"t": "done", "path": item.relative, "status": status, "run": run_number}
                if item.scheme:
                    entry["scheme"] = item.scheme
                if item.backup:
                    entry["backup"] = item.backup
                if plan.out is not None:
                    entry["id"] = list(item.identity)
                journal.add(entry)

    processing = time.monotonic()
    outcome = _execute(plan, settings, work, record, journal)
    seconds = time.monotonic() - processing
    tally.not_reached = len(work) - outcome.handled
    journal.add({"t": "end", "run": run_number, **tally.counts(),
                 "seconds": round(time.monotonic() - started, 3)})
    try:
        journal.close()
    except OSError as error:
        outcome.stopped = outcome.stopped or f"the journal cannot be written: {error.strerror}"
    failure_list = _write_failures(plan, tally)
    print(report(tally, in_place=plan.in_place, copied=plan.out is not None, dry_run=False, seconds=seconds,
                 jobs=plan.jobs, backup=plan.backup, source=plan.source, journal=plan.journal,
                 failure_list=failure_list, leftovers=len(leftovers), torn_bytes=journal.torn_bytes,
                 interrupted=outcome.interrupted, stopped=outcome.stopped))
    if outcome.stopped:
        return STOPPED
    if outcome.interrupted:
        return INTERRUPTED
    return EXIT_FAILED if tally.failures else OK


def _recorded_output(plan: Plan, journal: Journal, entry: store.Entry) -> bool:
    """Whether the journal records this very source file as done and its output is there."""
    return (journal.done.get(entry.relative) == list(entry.identity)
            and os.path.isfile(os.path.join(plan.out, entry.relative)))


def _count(item: worker.Report, tally: Tally) -> None:
    if item.status == MIGRATED:
        tally.add_migrated(item.scheme, item.bytes_in, item.bytes_out)
    elif item.status == POST_QUANTUM:
        tally.post_quantum += 1
    elif item.status == worker.DONE_EARLIER:
        tally.done_earlier += 1
    elif item.status == worker.RECOVERED:
        tally.recovered += 1
    else:
        tally.fail(item.relative, item.reason or "failed")


@dataclass
class _Outcome:
    handled: int = 0
    interrupted: bool = False
    stopped: str | None = None


class _StopRequest:
    """SIGINT and SIGTERM: the first asks the run to stop after the batches in progress, a
    second stops it at once."""

    def __init__(self) -> None:
        self.requested = False
        self._previous = {}

    def __enter__(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def _handle(self, signum, frame) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __exit__(self, *exc) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)


def _execute(plan: Plan, settings: worker.Settings, work: list, record, journal: Journal) -> _Outcome:
    outcome = _Outcome()
    if not work:
        return outcome
    size = max(1, min(BATCH, -(-len(work) // (plan.jobs * 4))))
    batches = iter([work[i:i + size] for i in range(0, len(work), size)])
    with _StopRequest() as stop:
        # fork: the workers start at once with the keys already parsed, and the parent has
        # no thread yet when they are made.
        executor = ProcessPoolExecutor(plan.jobs, mp_context=multiprocessing.get_context("fork"),
                                       initializer=worker.start, initargs=(settings, os.getpid()))
        in_flight = set()
        progress = None
        told = False
        try:
            while True:
                while not stop.requested and len(in_flight) < plan.jobs * 2:
                    batch = next(batches, None)
                    if batch is None:
                        break
                    in_flight.add(executor.submit(worker.process, batch))
                if progress is None:
                    progress = Progress(len(work), label="migrate", interval=plan.progress_every)
                if not in_flight:
                    break
                done, in_flight = wait(in_flight, timeout=0.5, return_when=FIRST_COMPLETED)
                for future in done:
                    reports = future.result()
                    record(reports)
                    outcome.handled += len(reports)
                    progress.advance(len(reports))
                journal.sync()
                if stop.requested and not told:
                    told = True
                    progress.note("stopping after the files in progress (press Ctrl-C again to stop at once)")
            outcome.interrupted = stop.requested
        except BrokenProcessPool:
            outcome.stopped = ("a worker process died; what was finished is recorded, and files it was "
                               "working on are found again by the next run: run the same command again")
        except KeyboardInterrupt:
            outcome.interrupted = True
            executor.kill_workers()
        except OSError as error:
            outcome.stopped = f"the journal cannot be written ({error.strerror}): run the same command again"
        finally:
            if progress is not None:
                progress.close()
            executor.shutdown(wait=True, cancel_futures=True)
    try:
        journal.sync()
    except OSError as error:
        outcome.stopped = outcome.stopped or f"the journal cannot be written: {error.strerror}"
    return outcome


def _write_failures(plan: Plan, tally: Tally) -> str | None:
    path = os.path.join(plan.state, "failed.txt")
    try:
        if not tally.failures:
            durable.remove_quietly(path)
            return None
        lines = "".join(f"{relative}\t{reason}\n" for relative, reason in tally.failures)
        durable.replace_file(path, lines.encode("utf-8", "surrogateescape"))
    except OSError as error:
        print(f"{path}: {error.strerror}", file=sys.stderr)
        return None
    return path


# --- the dry run -----------------------------------------------------------------------------


def _dry_run(plan: Plan) -> int:
    journal = Journal(plan.journal) if plan.journal and os.path.exists(plan.journal) else None
    if journal is not None:
        _check_identity(plan, journal)
    tally = Tally()
    listing = store.scan(plan.source, plan.skipped_directories())
    leftovers = len(listing.leftovers) + sum(len(store.leftovers(root)) for root in (plan.out, plan.backup)
                                             if root and os.path.isdir(root))
    for entry in listing.entries:
        if entry.problem is not None:
            tally.fail(entry.relative, entry.problem)
            continue
        if plan.out is not None and journal is not None and _recorded_output(plan, journal, entry):
            tally.done_earlier += 1
            continue
        kind, reason = _classify_file(plan, entry)
        if kind == CLASSIC:
            tally.add_migrated(None, entry.size)
        elif kind == FAILED:
            tally.fail(entry.relative, reason)
        elif plan.in_place and journal is not None and entry.relative in journal.done:
            tally.done_earlier += 1
        elif plan.in_place and os.path.lexists(os.path.join(plan.backup, entry.relative)):
            tally.recovered += 1
        else:
            tally.post_quantum += 1
    print(report(tally, in_place=plan.in_place, copied=plan.out is not None, dry_run=True, seconds=0.0,
                 jobs=plan.jobs, backup=plan.backup, source=plan.source, journal=None, failure_list=None,
                 leftovers=leftovers, torn_bytes=journal.torn_bytes if journal else 0, interrupted=False,
                 stopped=None))
    return EXIT_FAILED if tally.failures else OK


def _classify_file(plan: Plan, entry: store.Entry) -> tuple[str, str | None]:
    path = os.path.join(plan.source, entry.relative)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            head = os.read(fd, HEAD_SIZE)
        finally:
            os.close(fd)
    except OSError as error:
        return FAILED, error.strerror
    return classify(entry.size, head, plan.modulus_size)
