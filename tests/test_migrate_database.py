"""`halcyra-pqc migrate` of a database column, on SQLite and on a real PostgreSQL server, while
the application writes; killed and resumed, cut off from the database, refused before any
change; and the same runs on a Dask cluster."""

import os
import random
import re
import signal
import time

import pytest

from halcyra_pqc.migration import encrypt_to

from cli_support import cli, done_records, error_line, start, summary, wait_for_progress
from db_support import Keys, Table, Writer, dask_scheduler, make_table, postgres  # noqa: F401

pytestmark = pytest.mark.stores

BACKENDS = ["sqlite", "postgresql"]


@pytest.fixture(scope="module")
def keys(tmp_path_factory, cryptodome_key, hybrid_keys):
    return Keys.make(tmp_path_factory.mktemp("database-keys"), cryptodome_key, hybrid_keys)


@pytest.fixture
def database(request, tmp_path):
    """new_database() -> the URL of an empty database of the backend the test is for."""
    if request.param == "sqlite":
        return lambda: f"sqlite:///{tmp_path / 'app.db'}"
    return request.getfixturevalue("postgres").new_database


def migrate(table: Table, keys, state, *args, **popen):
    command = ["migrate", table.store, "--legacy-key", keys.files / "old.pem", "--to", keys.files / "new.pub",
               "--state", state, *args]
    return start(*command, **popen) if popen else cli(*command, timeout=300)


@pytest.mark.parametrize("database", BACKENDS, indirect=True)
def test_a_mixed_table_migrates_in_place_while_the_application_writes(database, keys, tmp_path):
    table = make_table(database(), keys, 600)
    state = tmp_path / "state"
    dry = migrate(table, keys, state, "--dry-run")
    assert dry.returncode == 1, dry.stderr
    assert summary(dry) == {"would migrate": len(table.classic), "done by an earlier run": 0,
                           "already post-quantum": 60, "would fail": 60, "empty (NULL)": 60}
    assert not state.exists() and table.table_names() == ["secrets"]

    writer = Writer(table, sorted(table.classic)[::7])
    writer.start()
    try:
        result = migrate(table, keys, state, "--batch", "40", "--jobs", "2")
    finally:
        writer.finish()
    assert result.returncode == 1, result.stdout + result.stderr
    text = result.stdout.decode()
    found = summary(result)
    assert found["failed"] == 60 and found["empty (NULL)"] == 60
    assert re.search(r"^    id=\d*8: \d+ bytes: neither a classic ciphertext for this key \(256 bytes", text,
                     re.MULTILINE)
    assert "originals: kept in the table secrets_halcyra_backup (never dropped by this tool)" in text
    assert re.search(r"throughput: [\d.]+ rows/s", text)
    migrated = table.check(skip=set(writer.last))
    writer.check()
    assert found["migrated"] >= migrated

    # A later run takes the rows the application inserted (or wrote back) with classic values.
    assert migrate(table, keys, state).returncode == 1
    writer.check()
    assert summary(migrate(table, keys, state, "--dry-run"))["would migrate"] == 0


@pytest.mark.parametrize("database", BACKENDS, indirect=True)
def test_killed_at_random_points_and_resumed(database, keys, tmp_path):
    table = make_table(database(), keys, 400, seed=3)
    state = tmp_path / "state"
    seed = int(os.environ.get("HALCYRA_KILL_SEED") or time.time_ns())
    print(f"HALCYRA_KILL_SEED={seed} repeats these kills")
    rng = random.Random(seed)
    for kill in range(2):
        process = migrate(table, keys, state, "--batch", "16", "--jobs", "2", stdout=open(os.devnull, "wb"),
                          stderr=open(os.devnull, "wb"))
        wait_for_progress(process, state / "journal", len(done_records(state / "journal", "range"))
                          + rng.randrange(0, 7), kind="range")
        time.sleep(rng.random() * 0.05)
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        table.check(complete=False)
    result = migrate(table, keys, state)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    found = summary(result)
    # The resumed run goes on after the rows the killed runs finished, and takes every other row.
    assert found["done by an earlier run"] > 0
    assert sum(found.get(name, 0) for name in ("migrated", "done by an earlier run", "already post-quantum",
                                               "failed", "empty (NULL)")) == 400
    assert table.check() == len(table.classic) == len(table.backups())  # one backup row each


def test_a_lost_connection_is_survived_or_resumed(postgres, keys, tmp_path):
    url = postgres.new_database()
    table = make_table(url, keys, 600, seed=5)
    state = tmp_path / "state"
    process = migrate(table, keys, state, "--batch", "16", "--jobs", "2", stdout=-1, stderr=-1)
    cuts = 0
    while process.poll() is None and cuts < 6:
        if done_records(state / "journal", "range"):
            cuts += postgres.terminate_clients(url) > 0
        time.sleep(0.1)
    out, err = process.communicate(timeout=300)
    assert cuts, "the run ended before its connections could be cut"
    assert process.returncode in (1, 3), err
    if process.returncode == 3:
        assert b"stopped: the database failed" in out
        table.check(complete=False)
        assert migrate(table, keys, state).returncode == 1
    assert table.check() == len(table.classic)


def test_a_row_changed_between_read_and_write_keeps_the_applications_value(postgres, keys, tmp_path):
    table = make_table(postgres.new_database(), keys, 40)
    new = encrypt_to(b"the application's", keys.public)
    with table.engine.connect() as application:
        # The application's update holds the row until it commits; the migration has read the
        # old value by the time its guarded update waits for it.
        with application.begin():
            application.execute(table.table.update().where(table.table.c.id == 3).values(blob=new))
            process = migrate(table, keys, tmp_path / "state", "--jobs", "1", stdout=-1, stderr=-1)
            deadline = time.monotonic() + 60
            while postgres.waiting_for_locks(table.url) == 0 and time.monotonic() < deadline:
                assert process.poll() is None, process.communicate()
                time.sleep(0.02)
        out, err = process.communicate(timeout=120)
    assert process.returncode == 1, out + err
    assert "  changed by the application: 1  (left as the application wrote them" in out.decode()
    assert table.rows()[3] == new and 3 not in {key for key, _, _ in table.backups()}
    assert table.check(skip={3}) == len(table.classic) - 1


STORE = "table=secrets&column=blob&key=id"


@pytest.mark.parametrize("query, args, message", [
    ("table=secrets&column=blob", (), "must name the table, the ciphertext column and the primary key: add key=..."),
    ("table=missing&column=blob&key=id", (), "the database has no table 'missing'"),
    ("table=secrets&column=nothing&key=id", (), "has no column 'nothing'"),
    ("table=secrets&column=id&key=blob", (), "must be the table's primary key"),
    (STORE + "&backup=secrets", (), "backup= names the table itself"),
    ("table=secrets;drop&column=blob&key=id", (), "must be a plain name"),
    (STORE, ("--out", "elsewhere"), "a database column is migrated in place"),
    (STORE, ("--scheduler", "tcp://127.0.0.1:1"), "--scheduler is the address of a Dask scheduler"),
    (STORE, ("--legacy-key", "other.pem"), "the legacy key opens none of the first 16 values of its ciphertext "
                                           "size (id=0, ...): it is not the key they were made for"),
])
def test_refused_before_anything_changes(keys, tmp_path, query, args, message):
    table = make_table(f"sqlite:///{tmp_path / 'app.db'}", keys, 40)
    if "other.pem" in args:
        from Crypto.PublicKey import RSA
        (tmp_path / "other.pem").write_bytes(RSA.generate(2048).export_key())
    result = cli("migrate", f"{table.url}?{query}", "--legacy-key", keys.files / "old.pem", "--to",
                 keys.files / "new.pub", "--state", tmp_path / "state", *args, cwd=tmp_path)
    assert result.returncode == 2
    assert message in error_line(result)
    assert not (tmp_path / "state").exists() and table.table_names() == ["secrets"]
    assert table.check(complete=False) == 0


@pytest.mark.parametrize("store", ["table", "directory"])
def test_the_same_migration_on_a_dask_cluster(store, dask_scheduler, keys, tmp_path):
    state = tmp_path / "state"
    if store == "table":
        table = make_table(f"sqlite:///{tmp_path / 'app.db'}", keys, 300)
        result = migrate(table, keys, state, "--engine", "dask", "--scheduler", dask_scheduler, "--batch", "20",
                         "--verify-with", keys.files / "new.key")
        assert result.returncode == 1, result.stdout + result.stderr
        assert " s, the Dask cluster: 2 workers, 2 threads)" in result.stdout.decode()
        assert table.check() == len(table.classic)
        return
    # A directory every worker reaches at the same path, on a cluster of this machine made for the run.
    from cli_support import LegacyKey, check_store, make_store, write_key_files
    legacy = LegacyKey.shared()
    files = write_key_files(tmp_path, legacy, (keys.public, keys.private))
    tree = make_store(tmp_path / "store", legacy, keys.public, 60)
    result = cli("migrate", tree.root, "--legacy-key", files / "old.pem", "--to", files / "new.pub", "--in-place",
                 "--state", state, "--engine", "dask", "--jobs", "2", timeout=300)
    assert result.returncode == 1, result.stdout + result.stderr
    assert " s, a Dask cluster of this machine: 2 workers, 2 threads)" in result.stdout.decode()
    assert result.stderr == b""
    check_store(tree, keys.private, backup=state / "backup")


def test_a_cluster_the_run_starts_admits_no_other_client():
    # Its workers hold the legacy private key, and an unsecured cluster runs any client's code.
    distributed = pytest.importorskip("distributed")
    from types import SimpleNamespace

    from halcyra_pqc.migration._cluster import DaskPool

    pool = DaskPool(SimpleNamespace(scheduler=None, jobs=1))
    try:
        address = pool._cluster.scheduler_address
        assert address.startswith("tls://")
        with pytest.raises(OSError):
            distributed.Client(address.replace("tls://", "tcp://", 1), timeout=5)
    finally:
        pool.close()
