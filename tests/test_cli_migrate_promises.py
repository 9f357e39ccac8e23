"""`halcyra-pqc migrate` in a hostile or careless world, promise by promise: no store turned
to garbage; nothing written outside its place; nothing made readable to others; a journal and
a lock that hold; reports that match the disk. As root where it matters, with uid 65534 as
the other user."""

import os
import resource
import shutil
import signal
import struct
import subprocess
from pathlib import Path

import pytest

import halcyra_pqc as hp
from cli_support import (COMMAND, LegacyKey, cli, environment, error_line, make_store, migrate, start, summary,
                         wait_for_progress, write_key_files)

pytestmark = pytest.mark.engine

NOBODY = 65534
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root: files of another user, ownership, mounts")


@pytest.fixture(scope="module")
def legacy():
    return LegacyKey.shared()


@pytest.fixture(scope="module")
def keys(tmp_path_factory, hybrid_keys, legacy):
    root = write_key_files(tmp_path_factory.mktemp("promise-keys"), legacy, hybrid_keys)
    other = LegacyKey.make(legacy.rsa_public.n.bit_length())
    (root / "wrong.pem").write_bytes(other.pem)
    return root


def snapshot(*roots):
    """Every name under the roots with what it is: the bytes of files, the targets of links."""
    found = {}
    for root in roots:
        for directory, names, files in os.walk(root):
            for name in names + files:
                path = os.path.join(directory, name)
                found[path] = os.readlink(path) if os.path.islink(path) else (
                    Path(path).read_bytes() if os.path.isfile(path) else stat_mode(path))
    return found


def stat_mode(path):
    return os.lstat(path).st_mode


def paused(process):
    """Stops the command and its workers where they are (SIGSTOP to the group)."""
    os.killpg(process.pid, signal.SIGSTOP)


def resumed(process):
    os.killpg(process.pid, signal.SIGCONT)
    return process.communicate(timeout=120)


def busy_store(root, legacy, count, *, last=None):
    """`count` classic files under a/, and optionally a directory `last` of ten sorting after
    them, so that a run is still at work on a/ when the test acts on `last`."""
    for number in range(count):
        path = root / "a" / f"{number:04d}.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(legacy.v15(b"%d" % number))
    if last:
        (root / last).mkdir()
        for number in range(10):
            (root / last / f"{number}.bin").write_bytes(legacy.v15(b"late %d" % number))


# --- no store turned to garbage ----------------------------------------------------------------


@pytest.mark.parametrize("case", ["new, in place", "new, to --out", "dry run", "resumed with another key"])
def test_a_wrong_legacy_key_changes_nothing(tmp_path, keys, legacy, hybrid_keys, case):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 40)
    where = ["--out", tmp_path / "out"] if "out" in case else ["--in-place"]
    if case == "resumed with another key":
        assert migrate(keys, store.root, *where).returncode == 1
        (store.root / "late.bin").write_bytes(legacy.oaep_encrypt(b"written later"))
    before = snapshot(tmp_path)
    args = [*where, "--dry-run"] if case == "dry run" else where
    result = cli("migrate", store.root, "--legacy-key", keys / "wrong.pem", "--to", keys / "new.pub", *args)
    assert result.returncode == 2, result.stdout + result.stderr
    expected = "resume it with the same --legacy-key" if "resumed" in case else "the legacy key opens none of"
    assert expected in error_line(result)
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("where", ["--in-place", "--out"])
def test_a_deep_and_wide_store_needs_few_open_files(tmp_path, keys, legacy, where):
    """Directories are reached through descriptors: a store of many deep directories must
    not run out of them under a small limit of open files."""
    root = tmp_path / "store"
    for number in range(150):
        deep = root / f"d{number:03d}" / "a" / "b" / "c" / "d"
        deep.mkdir(parents=True)
        (deep / "x.bin").write_bytes(legacy.v15(b"%d" % number))
    args = [*COMMAND, "migrate", root, "--legacy-key", keys / "old.pem", "--to", keys / "new.pub", "--jobs", "2",
            where, *([tmp_path / "out"] if where == "--out" else [])]
    result = subprocess.run(args, capture_output=True, env=environment(), timeout=300,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (160, 160)))
    assert result.returncode == 0, result.stdout + result.stderr
    assert summary(result)["migrated"] == 150


# --- nothing written outside its place ---------------------------------------------------------


def _prepared_by_another_user(state, victim):
    state.mkdir()
    os.symlink(victim, state / "journal")
    os.symlink(victim, state / "lock")
    (state / "backup").mkdir()
    for path in (state / "backup", state / "journal", state / "lock", state):
        os.chown(path, NOBODY, NOBODY, follow_symlinks=False)


def _a_link_to_another_users(state, victim):
    elsewhere = victim.parent / "theirs"
    elsewhere.mkdir()
    os.chown(elsewhere, NOBODY, NOBODY)
    os.symlink(elsewhere, state)


def _an_entry_that_is_a_link(state, victim):
    state.mkdir(mode=0o700)
    os.symlink(victim, state / "journal")


def _writable_by_others(state, victim):
    state.mkdir()
    os.chmod(state, 0o777)


def _an_entry_of_another_user(state, victim):
    state.mkdir(mode=0o700)
    (state / "backup").mkdir()
    os.chown(state / "backup", NOBODY, NOBODY)


@as_root
@pytest.mark.parametrize("prepare, refusal", [
    (_prepared_by_another_user, "owned by uid 65534, not by the user running this tool"),
    (_a_link_to_another_users, "a symbolic link"),
    (_an_entry_that_is_a_link, "journal: a symbolic link"),
    (_writable_by_others, "writable by others (mode 0777)"),
    (_an_entry_of_another_user, "backup: owned by uid 65534"),
], ids=lambda value: getattr(value, "__name__", "")[1:])
def test_a_state_directory_someone_else_prepared_is_refused(tmp_path, keys, legacy, hybrid_keys, prepare, refusal):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 20)
    victim = tmp_path / "victim"
    victim.write_bytes(b"a file the other user wants overwritten")
    prepare(tmp_path / "store.halcyra-migration", victim)
    before = snapshot(tmp_path)
    result = migrate(keys, store.root, "--in-place")
    assert result.returncode == 2
    assert refusal in error_line(result)
    assert snapshot(tmp_path) == before


def test_a_directory_swapped_for_a_link_leads_nowhere(tmp_path, keys, legacy):
    """Whoever can write the store swaps a directory for a link to another during the run:
    nothing there is touched, and the files of the swapped directory fail."""
    root = tmp_path / "store"
    busy_store(root, legacy, 400, last="z")
    elsewhere = tmp_path / "elsewhere"
    shutil.copytree(root / "z", elsewhere)
    outside = snapshot(elsewhere)
    process = start("migrate", root, "--legacy-key", keys / "old.pem", "--to", keys / "new.pub", "--in-place",
                    "--jobs", "1", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_progress(process, tmp_path / "store.halcyra-migration" / "journal", 0)
    paused(process)
    os.rename(root / "z", tmp_path / "z-moved")
    os.symlink(elsewhere, root / "z")
    stdout, stderr = resumed(process)
    assert process.returncode == 1, stdout + stderr
    assert snapshot(elsewhere) == outside
    assert not any((tmp_path / "store.halcyra-migration" / "backup" / "z").iterdir())
    assert stdout.count(b": a directory on its path was replaced since it was listed") == 10
    assert summary(subprocess.CompletedProcess([], 1, stdout))["migrated"] == 400


# --- nothing made readable to others -----------------------------------------------------------


def posix_acl(*entries):
    """The system.posix_acl_access value of (tag, permissions, id) entries: tags 1 user::, 2
    user:ID, 4 group::, 0x10 mask::, 0x20 other::."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, permissions, ident)
                                           for tag, permissions, ident in entries)


ANY = 0xFFFFFFFF
FILE_ACL = posix_acl((1, 6, ANY), (2, 4, 1234), (4, 4, ANY), (0x10, 4, ANY), (0x20, 0, ANY))
DIRECTORY_ACL = posix_acl((1, 7, ANY), (2, 5, 1234), (4, 0, ANY), (0x10, 5, ANY), (0x20, 0, ANY))


def metadata(path):
    info = os.lstat(path)
    attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)}
    return info.st_mode, info.st_uid, info.st_gid, attributes, info.st_mtime_ns if not os.path.isdir(path) else None


@as_root
@pytest.mark.parametrize("where", ["--in-place", "--out"])
def test_nothing_is_made_readable_to_others(tmp_path, keys, legacy, where):
    root = tmp_path / "store"
    hidden = root / "private" / "deeper"
    hidden.mkdir(parents=True)
    for directory in (root / "private", hidden):
        os.chown(directory, NOBODY, NOBODY)
        os.setxattr(directory, "system.posix_acl_access", DIRECTORY_ACL)
        os.chmod(directory, 0o750)
    item = hidden / "a.bin"
    item.write_bytes(legacy.v15(b"a secret"))
    os.chown(item, NOBODY, NOBODY)
    os.setxattr(item, "system.posix_acl_access", FILE_ACL)
    os.setxattr(item, "user.origin", b"the application")
    os.chmod(item, 0o640)
    os.utime(item, ns=(10**18, 10**18))
    expected = {path: metadata(path) for path in (root / "private", hidden, item)}
    out = tmp_path / "out"
    result = migrate(keys, root, where, *([out] if where == "--out" else []))
    assert result.returncode == 0, result.stdout + result.stderr
    assert b"not kept" not in result.stdout
    if where == "--out":
        copies = {out / path.relative_to(root): want for path, want in expected.items()}
    else:
        backup = tmp_path / "store.halcyra-migration" / "backup"
        copies = {backup / "private": expected[root / "private"], backup / "private" / "deeper": expected[hidden],
                  item: expected[item]}
    for path, want in copies.items():
        assert metadata(path) == want, path
    migrated = (out / "private" / "deeper" / "a.bin") if where == "--out" else item
    assert migrated.read_bytes()[:4] == b"HPQC"


# --- the journal and the lock ------------------------------------------------------------------


def _flip(path, line):
    lines = path.read_bytes().splitlines(keepends=True)
    damaged = bytearray(lines[line])
    damaged[len(damaged) // 2] ^= 0x04
    lines[line] = bytes(damaged)
    path.write_bytes(b"".join(lines))


def _nested(path, line):
    from zlib import crc32

    body = b'{"v":2,"t":"done","path":' + b"[" * 30_000 + b"]" * 30_000 + b"}"  # within a line's bound
    with open(path, "ab") as journal:
        journal.write(b"%08x %s\n" % (crc32(body), body))


@pytest.mark.parametrize("name, damage, line, expected", [
    ("journal", _flip, 5, "record 6 (at byte "),
    ("journal", _flip, 0, "record 1 (at byte 0) is damaged: its checksum does not match"),
    ("identity", _flip, 0, "identity: damaged (its checksum does not match)"),
    ("journal", _nested, None, "is damaged: its 'path' is not valid"),
], ids=["middle", "first line", "identity", "hostile line"])
def test_a_damaged_journal_stops_the_run_before_anything_changes(tmp_path, keys, legacy, hybrid_keys, name, damage,
                                                                   line, expected):
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 30)
    state = tmp_path / "store.halcyra-migration"
    assert migrate(keys, store.root, "--in-place").returncode == 1
    (store.root / "late.bin").write_bytes(legacy.v15(b"written later"))
    damage(state / name, line)
    before = snapshot(tmp_path)
    for args in ([], ["--dry-run"]):
        result = migrate(keys, store.root, "--in-place", *args)
        assert result.returncode == 3, result.stdout + result.stderr
        assert expected in error_line(result)
    assert snapshot(tmp_path) == before


def test_one_run_at_a_time_per_store_whatever_its_state(tmp_path, keys, legacy):
    root = tmp_path / "store"
    busy_store(root, legacy, 300)
    process = start("migrate", root, "--legacy-key", keys / "old.pem", "--to", keys / "new.pub", "--in-place",
                    "--jobs", "1", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_progress(process, tmp_path / "store.halcyra-migration" / "journal", 0)
    paused(process)
    try:
        for args in (["--in-place", "--state", tmp_path / "other"], ["--out", tmp_path / "out"]):
            second = migrate(keys, root, *args)
            assert second.returncode == 2 and "another migration is running on this directory" in error_line(second)
    finally:
        stdout, stderr = resumed(process)
    assert process.returncode == 0, stdout + stderr
    assert not (tmp_path / "other").exists() and not (tmp_path / "out").exists()


# --- reports that match the disk ---------------------------------------------------------------


@as_root
def test_a_full_disk_under_the_journal_is_counted_as_the_disk_says(tmp_path, keys, legacy, hybrid_keys):
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is not installed")
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 300)
    mount, out = tmp_path / "small", tmp_path / "out"
    mount.mkdir()
    # The state directory on a file system of 16 KiB: the journal fills it after some files.
    wrapper = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=16k,mode=0700 tmpfs "$1" && shift && exec "$@"',
               "sh", mount]
    result = subprocess.run([*wrapper, *COMMAND, "migrate", store.root, "--legacy-key", keys / "old.pem", "--to",
                             keys / "new.pub", "--out", out, "--state", mount / "state", "--jobs", "2"],
                            capture_output=True, env=environment(), timeout=300)
    if b"mount:" in result.stderr:
        pytest.skip(f"no tmpfs mount here: {result.stderr.decode().strip()}")
    assert result.returncode == 3, result.stdout + result.stderr
    text = result.stdout.decode()
    assert text.startswith("stopped: the journal cannot be written (No space left on device)")
    on_disk = sum(1 for relative in store.classic if (out / relative).exists())
    assert 0 < on_disk < len(store.classic)
    assert summary(result)["migrated"] == on_disk
    assert "not recorded in the journal: " in text
    for relative, message in store.classic.items():
        if (out / relative).exists():
            assert hp.pqc_decrypt_payload((out / relative).read_bytes(), hybrid_keys[1]) == message


def test_the_output_is_the_store_as_it_is_now(tmp_path, keys, legacy, hybrid_keys):
    """Out of place: what left the store since an earlier run leaves the output too (kept in
    the state directory), and is reported."""
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 30)
    out, state = tmp_path / "out", tmp_path / "out.halcyra-migration"
    assert migrate(keys, store.root, "--out", out).returncode == 1
    deleted = sorted(store.classic)[:2]
    kept = {relative: (out / relative).read_bytes() for relative in deleted}
    for relative in deleted:
        (store.root / relative).unlink()
    result = migrate(keys, store.root, "--out", out)
    assert f"left the store since an earlier run: 2 (their outputs moved to {state / 'withdrawn'})" \
        in result.stdout.decode()
    for relative, data in kept.items():
        assert not (out / relative).exists()
        assert (state / "withdrawn" / relative).read_bytes() == data
    assert b"left the store" not in migrate(keys, store.root, "--out", out).stdout


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed (Debian's strace package)")
def test_every_new_file_is_durable_before_it_is_renamed_and_recorded(tmp_path, keys, legacy, hybrid_keys):
    """Killed processes keep the page cache, so only the system calls show it: each new file
    is fsynced before its rename, and its directory after, before the journal records it."""
    store = make_store(tmp_path / "store", legacy, hybrid_keys[0], 30)
    trace = tmp_path / "trace"
    result = subprocess.run(["strace", "-f", "-qq", "-y", "-s", "65536", "-o", trace,
                             "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,write",
                             *COMMAND, "migrate", store.root, "--legacy-key", keys / "old.pem", "--to",
                             keys / "new.pub", "--in-place", "--jobs", "2"],
                            capture_output=True, env=environment(), timeout=300)
    assert result.returncode == 1, result.stdout + result.stderr
    synced, renamed = {}, {}  # path -> the number of its last fsync; final path -> (rename's number, directory)
    checked = 0
    unfinished = {}  # pid -> the first part of a call that another process's interrupted
    for number, line in enumerate(trace.read_text(errors="replace").splitlines()):
        pid, call = line.split(None, 1)
        if call.endswith("<unfinished ...>"):
            unfinished[pid] = call.removesuffix("<unfinished ...>")
            continue
        if call.startswith("<... "):
            call = unfinished.pop(pid) + call.split("resumed>", 1)[1]
        if call.startswith(("fsync(", "fdatasync(")) and call.endswith("= 0"):
            synced[call[call.index("<") + 1:call.index(">")]] = number
        elif call.startswith(("rename(", "renameat(", "renameat2(")) and ".hpqc-tmp-" in call:
            parts = call.split('"')
            directory = call[call.index("<") + 1:call.index(">")]
            assert f"{directory}/{parts[1]}" in synced, f"renamed before it was fsynced: {call}"
            renamed[f"{directory}/{parts[3]}"] = number, directory
        elif call.startswith("write(") and "/journal>" in call:
            for path, (when, directory) in renamed.items():
                if f'"path":"{os.path.relpath(path, store.root)}"' in call.replace('\\"', '"'):
                    assert synced.get(directory, -1) > when, f"recorded before its directory was fsynced: {path}"
                    checked += 1
    assert checked == len(store.classic)
