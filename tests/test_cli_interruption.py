"""A migration killed at random moments (SIGKILL to the command and its workers at once, as a
crash stops them) loses nothing and resumes: after every kill each file is its original or
its complete migrated form, the journal claims nothing that is not on disk, and the run that
follows finishes the store. Ctrl-C stops it cleanly.

HALCYRA_KILL_RUNS sets the number of killed runs per mode (scripts/check.sh raises it)."""

import os
import random
import shutil
import re
import signal
import subprocess
import time
from collections import Counter

import pytest

from cli_support import (COMMAND, LegacyKey, check_store, cli, done_records, environment, make_store, start,
                         temporary_files, wait_for_progress)

pytestmark = pytest.mark.engine

KILL_RUNS = int(os.environ.get("HALCYRA_KILL_RUNS", "6"))
STORE_SIZE = 240


@pytest.fixture(scope="module")
def legacy():
    return LegacyKey.shared()


@pytest.fixture(scope="module")
def key_files(tmp_path_factory, hybrid_keys, legacy):
    root = tmp_path_factory.mktemp("interruption-keys")
    for name, data in (("old.pem", legacy.pem), ("new.pub", hybrid_keys[0]), ("new.key", hybrid_keys[1])):
        (root / name).write_bytes(data)
    return root


class Campaign:
    """Stores migrated under random kills, in one mode; each store is finished by a last,
    uninterrupted run and checked, and the next kill goes to a new store."""

    def __init__(self, root, mode, key_files, legacy, hybrid_keys, rng, totals, *, size=STORE_SIZE, jobs=2):
        self.root, self.mode, self.key_files, self.legacy = root, mode, key_files, legacy
        self.hybrid_keys, self.rng, self.totals = hybrid_keys, rng, totals
        self.size, self.jobs = size, jobs
        self.stores = 0
        self._new_store()

    def _new_store(self):
        base = self.root / f"{self.mode}-{self.stores}"
        self.stores += 1
        self.store = make_store(base / "store", self.legacy, self.hybrid_keys[0], self.size,
                                seed=self.rng.randrange(2**32))
        self.out = base / "out" if self.mode == "out" else None
        self.state = base / f"{'out' if self.out else 'store'}.halcyra-migration"
        self.backup = None if self.out else self.state / "backup"
        where = ["--out", self.out] if self.out else ["--in-place", "--verify-with", self.key_files / "new.key"]
        self.args = ["migrate", self.store.root, "--legacy-key", self.key_files / "old.pem", "--to",
                     self.key_files / "new.pub", "--jobs", str(self.jobs), *where]

    def kill_once(self, context):
        journal = self.state / "journal"
        recorded = len(done_records(journal))
        process = start(*self.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.rng.random() < 0.25:
            time.sleep(self.rng.uniform(0, 0.4))  # anywhere, startup and listing included
        else:
            wait_for_progress(process, journal, recorded)
            time.sleep(self.rng.uniform(0, 0.08))
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        killed = process.wait(30) == -signal.SIGKILL
        self.totals["kills"] += killed
        self.totals["kills during the work"] += killed and len(done_records(journal)) > recorded
        self._check_crashed(context)
        if not killed:
            self.finish(context)

    def crash_at(self, call, number, context):
        """Runs the migration with a SIGKILL at the number-th `call` of each process (and
        thread), then checks the store and finishes it."""
        trace = ["strace", "-f", "-qq", "-o", os.devnull, "-e", f"trace={call}",
                 "-e", f"inject={call}:signal=SIGKILL:when={number}"]
        process = subprocess.run([*trace, *COMMAND, *map(str, self.args)], capture_output=True, env=environment(),
                                 timeout=120)
        self.totals["crash points"] += 1
        self.totals["runs killed there"] += process.returncode not in (0, 1)
        self._check_crashed(context)
        self.finish(context)

    def _check_crashed(self, context):
        """Each file its original or its complete migrated form, and the journal claiming
        nothing that is not on disk."""
        journal = self.state / "journal"
        self.totals["files checked"] += check_store(self.store, self.hybrid_keys[1], out=self.out,
                                                    backup=self.backup, complete=False)
        for record in done_records(journal):
            written = (self.out or self.store.root) / record["path"]
            assert written.read_bytes()[:4] == b"HPQC", f"{context}: the journal claims {record['path']}"
            if self.backup is not None:
                assert (self.backup / record["backup"]).exists(), context

    def finish(self, context):
        final = cli(*self.args)
        assert final.returncode == 1, final.stdout + final.stderr  # the store's garbage files fail
        text = final.stdout.decode()
        # Every file is accounted for once: classic ones migrated now or before, post-quantum
        # ones left, or copied now or before.
        counted = sum(int(n) for n in re.findall(
            r"^  (?:migrated|done by an earlier run|already post-quantum): +(\d+)", text, re.M))
        assert counted == len(self.store.classic) + len(self.store.post_quantum), f"{context}:\n{text}"
        assert f"failed:                 {len(self.store.garbage)}" in text, f"{context}:\n{text}"
        self.totals["files checked"] += check_store(self.store, self.hybrid_keys[1], out=self.out,
                                                    backup=self.backup)
        assert not temporary_files(self.store.root, *(p for p in (self.out, self.state) if p)), context
        # Every directory made is its source directory's like, never more open.
        for made in (self.out or self.backup).rglob("*"):
            if made.is_dir():
                source = self.store.root / made.relative_to(self.out or self.backup)
                assert made.stat().st_mode == source.stat().st_mode, f"{context}: {made}"
        self.totals["stores finished and checked"] += 1
        self._new_store()


def test_killed_at_random_points_the_migration_resumes_and_loses_nothing(tmp_path, key_files, legacy, hybrid_keys,
                                                                       figures):
    seed = int(os.environ.get("HALCYRA_KILL_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    totals = dict.fromkeys(("kills", "kills during the work", "stores finished and checked", "files checked"), 0)
    for mode in ("in-place", "out"):
        campaign = Campaign(tmp_path, mode, key_files, legacy, hybrid_keys, rng, totals)
        for run in range(KILL_RUNS):
            campaign.kill_once(f"seed {seed}, {mode}, run {run}")
        campaign.finish(f"seed {seed}, {mode}, last run")
    assert totals["kills during the work"] >= 1, totals
    for name, count in totals.items():
        figures(f"migrate interruption: {name}", count)


CRASH_CALLS = ("write", "fsync", "rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir",
               "mkdirat", "fchmod", "fchown", "fsetxattr", "fremovexattr", "utimensat", "ftruncate", "symlinkat")
# Every how many crash points one is run: "all" in scripts/check.sh.
CRASH_STEP = os.environ.get("HALCYRA_CRASH_POINTS", "16")


def calls_made(args, trace):
    """How many times each of CRASH_CALLS is made, at most, by one process or thread of a
    run of the command."""
    result = subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + ",".join(CRASH_CALLS),
                             *COMMAND, *map(str, args)], capture_output=True, env=environment(), timeout=120)
    assert result.returncode == 1, result.stdout + result.stderr
    counts = Counter()
    for line in trace.read_text().splitlines():
        pid, call = line.split(None, 1)
        name = call.split("(", 1)[0]
        if name in CRASH_CALLS:
            counts[pid, name] += 1
    most = Counter()
    for (_, name), count in counts.items():
        most[name] = max(most[name], count)
    return most


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed (Debian's strace package)")
def test_a_crash_at_any_system_call_loses_nothing(tmp_path, key_files, legacy, hybrid_keys, figures):
    """A SIGKILL injected at each call that changes a file (strace's --inject), of a small
    migration in each mode; after each, the store is checked and finished."""
    seed = int(os.environ.get("HALCYRA_KILL_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    step = 1 if CRASH_STEP == "all" else int(CRASH_STEP)
    totals = Counter()
    for mode in ("in-place", "out"):
        campaign = Campaign(tmp_path / "runs", mode, key_files, legacy, hybrid_keys, rng, totals, size=10, jobs=1)
        most = calls_made(campaign.args, tmp_path / f"{mode}.trace")
        points = [(call, number) for call in sorted(most) for number in range(1, most[call] + 1)]
        for call, number in points[rng.randrange(step)::step]:
            campaign.crash_at(call, number, f"seed {seed}, {mode}, SIGKILL at {call} number {number}")
    assert totals["runs killed there"] >= totals["crash points"] // 2, totals
    for name, count in totals.items():
        figures(f"migrate crash points: {name}", count)


def in_place_run(tmp_path, key_files, legacy, hybrid_keys, *, seed, jobs):
    """A store, its state directory and the arguments of a verified in-place migration of it."""
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], STORE_SIZE, seed=seed)
    args = ["migrate", store.root, "--legacy-key", key_files / "old.pem", "--to", key_files / "new.pub",
            "--in-place", "--jobs", str(jobs), "--verify-with", key_files / "new.key"]
    return store, tmp_path / "store.halcyra-migration", args


def test_ctrl_c_finishes_the_files_in_progress_and_the_next_run_completes(tmp_path, key_files, legacy, hybrid_keys):
    store, state, args = in_place_run(tmp_path, key_files, legacy, hybrid_keys, seed=7, jobs=1)
    process = start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_progress(process, state / "journal", 0)
    os.killpg(process.pid, signal.SIGINT)  # what a terminal sends to the whole foreground group
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stdout + stderr
    text = stdout.decode()
    assert text.startswith("interrupted: the files in progress were finished and recorded")
    reached = int(re.search(r"^  migrated: +(\d+)", text, re.M).group(1))
    assert 0 < reached < len(store.classic)
    assert "(run the same command again to resume)" in text
    assert not temporary_files(store.root, state)
    assert len(done_records(state / "journal")) == reached
    check_store(store, hybrid_keys[1], backup=state / "backup", complete=False)

    final = cli(*args)
    assert re.search(rf"^  migrated: +{len(store.classic) - reached}  ", final.stdout.decode(), re.M)
    check_store(store, hybrid_keys[1], backup=state / "backup")


def stat_fields(pid):
    """The fields of /proc/<pid>/stat after the command name (state, parent, ...), or None
    once the process is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            return stat.read().rsplit(b")", 1)[1].split()
    except OSError:
        return None


def children(pid):
    """The processes whose parent is `pid`."""
    return [int(entry) for entry in os.listdir("/proc")
            if entry.isdigit() and (fields := stat_fields(entry)) is not None and int(fields[1]) == pid]


def alive(pid):
    fields = stat_fields(pid)
    return fields is not None and fields[0] != b"Z"


def test_a_worker_that_dies_stops_the_run_with_code_3_and_the_next_run_completes(tmp_path, key_files, legacy,
                                                                                   hybrid_keys):
    store, state, args = in_place_run(tmp_path, key_files, legacy, hybrid_keys, seed=8, jobs=2)
    process = start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_progress(process, state / "journal", 0)
    workers = children(process.pid)
    assert len(workers) == 2
    os.kill(workers[0], signal.SIGKILL)  # as the kernel's out-of-memory killer would
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 3, stdout + stderr
    assert stdout.decode().startswith("stopped: a worker process died")
    assert not any(alive(pid) for pid in workers)
    check_store(store, hybrid_keys[1], backup=state / "backup", complete=False)
    final = cli(*args)
    assert final.returncode == 1 and b"failed:                 %d" % len(store.garbage) in final.stdout
    check_store(store, hybrid_keys[1], backup=state / "backup")
    assert not temporary_files(store.root, state)


def test_workers_do_not_outlive_a_killed_command(tmp_path, key_files, legacy, hybrid_keys):
    store, state, args = in_place_run(tmp_path, key_files, legacy, hybrid_keys, seed=9, jobs=2)
    process = start(*args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_progress(process, state / "journal", 0)
    workers = children(process.pid)
    assert workers
    process.kill()  # the command alone: its workers must not go on renaming files
    process.wait(30)
    deadline = time.monotonic() + 10
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not any(alive(pid) for pid in workers)
    final = cli(*args)
    assert final.returncode == 1, final.stdout + final.stderr  # not 2: no worker holds the lock
    check_store(store, hybrid_keys[1], backup=state / "backup")
