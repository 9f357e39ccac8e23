"""`halcyra-pqc migrate` on stores of real classic ciphertexts: out of place and in place,
what the summary counts, resuming over every disagreement a crash can leave between the
journal and the files, and its misuse."""

import fcntl
import json
import os
import pty
import re
import select
import stat
import struct
import subprocess
import termios
import zlib

import pytest

import halcyra_pqc as hp
from cli_support import (COMMAND, LegacyKey, check_store, cli, environment, error_line, make_store, migrate, summary,
                         temporary_files, write_key_files)

pytestmark = pytest.mark.engine


@pytest.fixture(scope="module")
def legacy():
    return LegacyKey.shared()


@pytest.fixture(scope="module")
def keys(tmp_path_factory, hybrid_keys, legacy):
    return write_key_files(tmp_path_factory.mktemp("migration-keys"), legacy, hybrid_keys)


def odd_entries(root):
    """What a store may hold besides files: a link, a FIFO, and a name with a line break
    that, printed as it is, would forge a line of the summary."""
    os.symlink("elsewhere", root / "link.bin")
    os.mkfifo(root / "pipe.bin")
    (root / "0\n  not reached:            7").write_bytes(b"noise")
    return {"link.bin": "a symbolic link, not followed", "pipe.bin": "not a regular file",
            "0\\n  not reached:            7": "5 bytes: neither"}


def test_out_of_place_migration_of_a_mixed_store(tmp_path, keys, legacy, hybrid_keys):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 200)
    odd = odd_entries(store.root)
    with open(os.fsencode(store.root) + b"/caf\xe9.bin", "wb") as file:
        file.write(legacy.v15(b"latin-1 name"))
    with open(os.fsencode(store.root) + b"/a\xff-noise.bin", "wb") as file:
        file.write(b"noise")
    # Named like the temporary files of older versions: a user's file all the same.
    (store.root / ".hpqc-tmp-0123456789abcdef").write_bytes(b"user data")
    store.garbage[".hpqc-tmp-0123456789abcdef"] = b"user data"
    out = tmp_path / "out"
    failed = len(store.garbage) + len(odd) + 1

    dry = migrate(keys, store.root, "--out", out, "--dry-run")
    assert dry.returncode == 1
    assert summary(dry) == {"would migrate": len(store.classic) + 1, "done by an earlier run": 0,
                            "already post-quantum": len(store.post_quantum), "would fail": failed}
    assert not out.exists() and not (tmp_path / "out.halcyra-migration").exists()

    result = migrate(keys, store.root, "--out", out)
    assert result.returncode == 1, result.stderr
    assert summary(result) == {"migrated": len(store.classic) + 1, "done by an earlier run": 0,
                               "already post-quantum": len(store.post_quantum), "failed": failed}
    text = result.stdout.decode()
    v15 = sum(1 for r in store.classic if int(r[-8:-4]) % 10 < 4) + 1
    assert f"(OAEP with SHA-1: {len(store.classic) + 1 - v15}, PKCS#1 v1.5: {v15})" in text
    assert "passes by chance about once in 30,000 files" in text
    assert re.search(r"throughput: [\d.]+ files/s, [\d.]+ MiB/s", text)
    for name, reason in odd.items():
        assert f"{name}: {reason}" in text
    assert "\n    a\\xff-noise.bin: 5 bytes: neither" in text
    listed = (tmp_path / "out.halcyra-migration" / "failed.txt").read_text().splitlines()
    assert sorted(line.split("\t")[0] for line in listed) == sorted([*store.garbage, *odd, "a\\xff-noise.bin"])
    assert os.readlink(out / "link.bin") == "elsewhere" and not (out / "pipe.bin").exists()
    check_store(store, hybrid_keys[1], out=out)
    assert hp.pqc_decrypt_payload((out / "caf\udce9.bin").read_bytes(), hybrid_keys[1]) == b"latin-1 name"

    # A second run finds everything done and re-encrypts nothing.
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    again = migrate(keys, store.root, "--out", out)
    assert summary(again) == {"migrated": 0, "done by an earlier run": len(store.classic) + 1 + len(store.post_quantum),
                              "already post-quantum": 0, "failed": failed}
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before


def test_in_place_migration_keeps_every_original(tmp_path, keys, legacy, hybrid_keys):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 120, seed=1)
    restricted = next(iter(store.classic))
    os.chmod(store.root / restricted, 0o640)
    state = tmp_path / "store.halcyra-migration"

    result = migrate(keys, store.root, "--in-place", "--verify-with", keys / "new.protected",
                     "--verify-passphrase-file", keys / "pass.txt", "--jobs", "2")
    assert result.returncode == 1, result.stderr
    assert summary(result) == {"migrated": len(store.classic), "done by an earlier run": 0,
                               "already post-quantum": len(store.post_quantum), "failed": len(store.garbage)}
    assert f"originals: kept in {state / 'backup'}" in result.stdout.decode()
    check_store(store, hybrid_keys[1], backup=state / "backup")
    assert {str(p.relative_to(state / "backup")) for p in (state / "backup").rglob("*") if p.is_file()} == \
        set(store.classic)
    assert stat.S_IMODE((store.root / restricted).stat().st_mode) == 0o640
    records = [json.loads(line.split(" ", 1)[1]) for line in (state / "journal").read_text().splitlines()]
    assert sorted(r["path"] for r in records if r["t"] == "done") == sorted(store.classic)

    again = migrate(keys, store.root, "--in-place")
    assert summary(again)["done by an earlier run"] == len(store.classic) and summary(again)["migrated"] == 0
    check_store(store, hybrid_keys[1], backup=state / "backup")
    dry = migrate(keys, store.root, "--in-place", "--dry-run")
    assert summary(dry)["would migrate"] == 0 and summary(dry)["done by an earlier run"] == len(store.classic)


def test_a_damaged_or_foreign_ciphertext_is_never_migrated(tmp_path, keys, legacy, hybrid_keys):
    root = tmp_path / "store"
    root.mkdir()
    other = LegacyKey.make(1024)

    def foreign(encrypt):
        # Below our modulus, so that it reaches the padding check rather than the range check.
        while int.from_bytes(data := encrypt(b"not ours")) >= legacy.rsa_public.n:
            pass
        return data

    messages = {"oaep.bin": legacy.oaep_encrypt(b"oaep"), "v15.bin": legacy.v15(b"v15"),
                "foreign-oaep.bin": foreign(other.oaep_encrypt), "foreign-v15.bin": foreign(other.v15)}
    for name, data in messages.items():
        (root / name).write_bytes(data)

    strict = migrate(keys, root, "--in-place", "--scheme", "oaep-sha1")
    assert strict.returncode == 1 and summary(strict)["migrated"] == 1 and summary(strict)["failed"] == 3
    assert "does not decrypt with the legacy key: made for another key, or modified (read as oaep-sha1 only)" \
        in strict.stdout.decode()
    assert sorted(p.name for p in root.iterdir() if p.read_bytes()[:4] == b"HPQC") == ["oaep.bin"]

    # "auto" migrates only what a scheme's padding check opens: the foreign files fail and
    # stay as they are, where they would otherwise be re-encrypted as random bytes. (The
    # scheme is part of a migration's identity: reading the rest another way is another one.)
    lenient = migrate(keys, root, "--in-place", "--state", tmp_path / "lenient")
    assert lenient.returncode == 1 and summary(lenient)["migrated"] == 1 and summary(lenient)["failed"] == 2
    assert "PKCS#1 v1.5: 1" in lenient.stdout.decode()
    assert hp.pqc_decrypt_payload((root / "v15.bin").read_bytes(), hybrid_keys[1]) == b"v15"
    for name in ("foreign-oaep.bin", "foreign-v15.bin"):
        assert (root / name).read_bytes() == messages[name]


# --- what a crash can leave behind, and how the next run takes it ----------------------------


@pytest.fixture
def migrated_store(tmp_path, keys, legacy, hybrid_keys):
    """A small store migrated in place: (store, state directory)."""
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 24, seed=2)
    assert migrate(keys, store.root, "--in-place").returncode == 1
    return store, tmp_path / "store.halcyra-migration"


def journal_records(state):
    return [json.loads(line.split(" ", 1)[1]) for line in (state / "journal").read_text().splitlines()]


def drop_records(state, paths):
    """The journal without the records of `paths`, as if the crash came before they were written."""
    lines = (state / "journal").read_text().splitlines(keepends=True)
    kept = [line for line in lines if json.loads(line.split(" ", 1)[1]).get("path") not in paths]
    (state / "journal").write_text("".join(kept))


def test_a_file_renamed_but_not_recorded_is_found_and_recorded(migrated_store, keys, hybrid_keys):
    store, state = migrated_store
    lost = sorted(store.classic)[:3]
    drop_records(state, lost)
    before = {r: (store.root / r).read_bytes() for r in lost}
    result = migrate(keys, store.root, "--in-place")
    assert summary(result)["migrated"] == 0
    assert summary(result)["done by an earlier run"] == len(store.classic)
    assert f"({len(lost)} found migrated, recorded now)" in result.stdout.decode()
    assert {r: (store.root / r).read_bytes() for r in lost} == before
    assert {r["path"] for r in journal_records(state) if r["t"] == "done"} >= set(lost)
    check_store(store, hybrid_keys[1], backup=state / "backup")


def test_a_backup_made_before_the_crash_is_reused_and_names_alike_are_kept(tmp_path, keys, legacy, hybrid_keys):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 10, seed=3)
    state = tmp_path / "store.halcyra-migration"
    relative = sorted(store.classic)[0]
    # The crash came after the original was linked into the backup, before the rename.
    (state / "backup" / relative).parent.mkdir(parents=True, mode=0o700)
    os.link(store.root / relative, state / "backup" / relative)
    # Named like the temporary files of older versions, but recorded by no run: a user's.
    alike = (store.root / relative).parent / ".hpqc-tmp-0123456789abcdef"
    alike.write_bytes(b"HPQC a user's file")
    store.post_quantum[str(alike.relative_to(store.root))] = alike.read_bytes()
    result = migrate(keys, store.root, "--in-place")
    assert summary(result)["migrated"] == len(store.classic)
    assert "temporary files" not in result.stdout.decode()
    assert not list((state / "backup").rglob("*.~1~"))
    check_store(store, hybrid_keys[1], backup=state / "backup")


def test_a_journal_of_the_first_format_is_resumed(migrated_store, keys, hybrid_keys):
    """A state directory from before the identity file: its first run's settings are the
    identity, which the next run writes out."""
    store, state = migrated_store
    (state / "identity").unlink()
    lines = []
    for record in journal_records(state):
        record = {name: value for name, value in record.items() if name not in ("tmp", "clean")
                  or record["t"] == "done"}
        if record["t"] == "run":
            del record["run"]
        body = json.dumps({**record, "v": 1}, separators=(",", ":")).encode()
        lines.append(b"%08x %s\n" % (zlib.crc32(body), body))
    (state / "journal").write_bytes(b"".join(lines))
    result = migrate(keys, store.root, "--in-place")
    assert summary(result)["done by an earlier run"] == len(store.classic), result.stdout + result.stderr
    assert (state / "identity").exists()
    other = cli("migrate", store.root, "--legacy-key", keys / "old.pem", "--to", keys / "new.pub", "--in-place",
                "--scheme", "pkcs1v15")
    assert other.returncode == 2 and "resume it with the same --scheme" in error_line(other)
    check_store(store, hybrid_keys[1], backup=state / "backup")


def test_a_file_rewritten_after_its_migration_is_migrated_again_keeping_both_originals(
        migrated_store, keys, legacy, hybrid_keys):
    store, state = migrated_store
    relative = sorted(store.classic)[0]
    first = store.originals[relative]
    # An application not yet switched over wrote a new classic ciphertext to the same name.
    rewritten = legacy.oaep_encrypt(b"written later")
    (store.root / relative).write_bytes(rewritten)
    result = migrate(keys, store.root, "--in-place")
    assert summary(result)["migrated"] == 1
    assert hp.pqc_decrypt_payload((store.root / relative).read_bytes(), hybrid_keys[1]) == b"written later"
    assert (state / "backup" / relative).read_bytes() == first
    assert (state / "backup" / f"{relative}.~1~").read_bytes() == rewritten


def test_a_torn_journal_record_is_dropped_and_the_run_resumes(migrated_store, keys, hybrid_keys):
    store, state = migrated_store
    drop_records(state, set(store.classic))
    torn = b'1234abcd {"v":1,"t":"done","path":"shard0/it'  # cut by the crash
    with open(state / "journal", "ab") as journal:
        journal.write(torn)
    result = migrate(keys, store.root, "--in-place")
    assert f"an incomplete last record ({len(torn)} bytes)" in result.stdout.decode()
    assert f"({len(store.classic)} found migrated, recorded now)" in result.stdout.decode()
    assert torn not in (state / "journal").read_bytes()
    journal_records(state)  # every line whole
    assert summary(migrate(keys, store.root, "--in-place"))["done by an earlier run"] == len(store.classic)


def test_out_of_place_resume_redoes_what_it_cannot_trust(tmp_path, keys, legacy, hybrid_keys):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 30, seed=4)
    out, state = tmp_path / "out", tmp_path / "out.halcyra-migration"
    assert migrate(keys, store.root, "--out", out).returncode == 1
    first, second, third = sorted(store.classic)[:3]
    drop_records(state, {first})  # written, but the record was lost
    (out / second).unlink()  # recorded, but the output is gone
    new_message = b"the source changed since"
    (store.root / third).write_bytes(legacy.v15(new_message))  # recorded for an older source
    store.originals[third], store.classic[third] = (store.root / third).read_bytes(), new_message

    result = migrate(keys, store.root, "--out", out)
    assert summary(result)["migrated"] == 3
    check_store(store, hybrid_keys[1], out=out)


def test_changes_made_while_a_file_is_migrated_are_never_overwritten(tmp_path, monkeypatch, legacy, hybrid_keys):
    """An application that replaces a file between its reading and its replacement keeps its
    write: the file is reported and left for the next run."""
    from halcyra_pqc.migration import _fs, _worker

    root, backup = tmp_path / "store", tmp_path / "backup"
    root.mkdir()
    backup.mkdir()
    original = legacy.v15(b"old")
    (root / "a.bin").write_bytes(original)
    nodes = {"": (_fs.node(root.stat()), _fs.node(backup.stat()))}
    settings = _worker.Settings(str(root), nodes[""][0], str(backup), nodes[""][1], True, _fs.new_prefix(),
                                legacy.pem, hybrid_keys[0], None, "auto")
    monkeypatch.setattr(_worker, "_worker", _worker._Worker(settings))
    convert = _worker.convert

    def converted_while_replaced(*args, **kwargs):
        result = convert(*args, **kwargs)
        (root / "new.tmp").write_bytes(b"the application's write")
        os.rename(root / "new.tmp", root / "a.bin")
        return result

    monkeypatch.setattr(_worker, "convert", converted_while_replaced)
    monkeypatch.setattr(_worker, "_syncers", None)
    try:
        (report,) = _worker.process(_worker.Batch([_worker.Item("a.bin", "file", False)], nodes))
    finally:
        if _worker._syncers is not None:
            _worker._syncers.shutdown()
    assert report.status == "failed" and "changed while it was being migrated" in report.reason
    assert (root / "a.bin").read_bytes() == b"the application's write"
    assert (backup / "a.bin").read_bytes() == original
    assert not temporary_files(root)


# --- progress and misuse ---------------------------------------------------------------------


def test_progress_is_plain_lines_in_logs_and_a_bar_on_a_terminal(tmp_path, keys, legacy, hybrid_keys):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 60, seed=5)
    odd_entries(store.root)
    logged = migrate(keys, store.root, "--out", tmp_path / "logged", "--jobs", "1", "--progress-every", "0")
    lines = logged.stderr.decode().splitlines()
    # The total is the summary's: every file listed, those that fail at once included.
    assert sum(summary(logged).values()) == 63
    assert lines and all(re.fullmatch(r"migrate: \d+/63 files \([\d.]+%\), [\d.]+ files/s(, ETA \d+:\d\d:\d\d)?", l)
                         for l in lines), lines

    pytest.importorskip("tqdm", reason="tqdm is not installed; requirements/dev.txt lists it")
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen([*COMMAND, "migrate", store.root, "--legacy-key", keys / "old.pem", "--to",
                                keys / "new.pub", "--out", tmp_path / "shown"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=terminal, env=environment())
    os.close(terminal)
    shown = b""
    while True:
        ready, _, _ = select.select([controller], [], [], 60)
        try:
            chunk = os.read(controller, 4096) if ready else b""
        except OSError:  # the terminal closed with the process
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    assert process.wait(60) == 1 and b"migrated:" in process.stdout.read()
    process.stdout.close()
    assert re.search(rb"migrate: 100%\|.*\| 63/63 \[\d\d:\d\d<\d\d:\d\d, +[\d.]+ files/s\]", shown), shown


@pytest.fixture
def misuse_setup(tmp_path, keys, legacy):
    (tmp_path / "store").mkdir()
    (tmp_path / "store" / "a.bin").write_bytes(legacy.v15(b"a"))
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_bytes(b"x")
    return tmp_path


@pytest.mark.parametrize("args, expected", [
    (["missing", "--in-place"], "missing: not a directory"),
    (["store/a.bin", "--in-place"], "not a directory"),
    (["store"], "say where the migrated files go: --out DIR"),
    (["store", "--out", "store"], "--out is the source directory: use --in-place"),
    (["store", "--out", "."], "the source directory lies inside --out"),
    (["store", "--out", "full"], "full: not empty"),
    (["store", "--out", "store/out"], "--out lies inside the source directory"),
    (["store", "--in-place", "--state", "store/state"], "--state must be a directory of its own"),
    (["store", "--out", "out", "--state", "."], "--state must be a directory of its own"),
    (["store", "--in-place", "--jobs", "0"], "--jobs must be at least 1"),
    (["store", "--in-place", "--legacy-key", "KEYS/new.key"], "a post-quantum key, whose ciphertexts need no conversion"),
    (["store", "--in-place", "--legacy-key", "KEYS/old.pub.pem"], "a public key, but migration needs the private key"),
    (["store", "--in-place", "--legacy-key", "KEYS/new.protected"], "give --legacy-passphrase-file"),
    (["store", "--in-place", "--to", "KEYS/old.pem"], "a classic RSA key; new data is only encrypted to post-quantum"),
    (["store", "--in-place", "--to", "KEYS/new.protected"], "a protected private key; --to takes the public key"),
    (["store", "--in-place", "--verify-with", "KEYS/new.protected"], "give --verify-passphrase-file"),
    (["store", "--in-place", "--verify-with", "KEYS/new.protected", "--verify-passphrase-file", "KEYS/old.pem"],
     "wrong pass phrase"),
    (["store", "--in-place", "--verify-with", "KEYS/other.key"], "not the private key of"),
])
def test_misuse_changes_nothing(misuse_setup, keys, other_hybrid_keys, args, expected):
    (keys / "other.key").write_bytes(other_hybrid_keys[1])
    args = [str(a).replace("KEYS/", f"{keys}/") for a in args]
    defaults = [[name, str(keys / file)] for name, file in (("--legacy-key", "old.pem"), ("--to", "new.pub"))
                if name not in args]
    result = cli("migrate", *args, *sum(defaults, []), cwd=misuse_setup)
    assert result.returncode == 2, result.stdout + result.stderr
    assert expected in error_line(result)
    assert (misuse_setup / "store" / "a.bin").read_bytes()[:4] != b"HPQC"
    assert {p.name for p in misuse_setup.iterdir()} == {"store", "full"}


def test_one_migration_at_a_time_and_one_migration_per_state(tmp_path, keys, legacy, other_hybrid_keys):
    (tmp_path / "store").mkdir()
    (tmp_path / "store" / "a.bin").write_bytes(legacy.v15(b"a"))
    state = tmp_path / "store.halcyra-migration"
    state.mkdir()
    with open(state / "lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        busy = migrate(keys, tmp_path / "store", "--in-place")
    assert busy.returncode == 2 and "another migration is running" in error_line(busy)

    assert migrate(keys, tmp_path / "store", "--in-place").returncode == 0
    (keys / "other.pub").write_bytes(other_hybrid_keys[0])
    elsewhere = cli("migrate", tmp_path / "store", "--legacy-key", keys / "old.pem", "--to", keys / "other.pub",
                    "--in-place")
    assert elsewhere.returncode == 2 and "belongs to another migration" in error_line(elsewhere)
