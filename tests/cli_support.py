"""Running the halcyra-pqc command as users do, and stores of real classic ciphertexts made by
the `rsa` package and PyCryptodome to migrate."""

import functools
import json
import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import rsa as old_rsa
from Crypto.Cipher import PKCS1_OAEP as OldOAEP
from Crypto.PublicKey import RSA as OldRSA

import halcyra_pqc as hp
from conftest import PACKAGE_DIR

# The installed console script when there is one (its imports then resolve to the package
# under test through PYTHONPATH); `python -m halcyra_pqc` otherwise.
SCRIPT = Path(sys.executable).with_name("halcyra-pqc")
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "halcyra_pqc"]


def environment(**extra) -> dict:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_DIR.parent), **extra)
    env.pop("COLUMNS", None)
    return env


def cli(*args, cwd=None, stdin=None, timeout=120, command=COMMAND) -> subprocess.CompletedProcess:
    """Runs the command; stdin is bytes; output is bytes."""
    return subprocess.run([*command, *map(str, args)], cwd=cwd, input=stdin if stdin is not None else b"",
                          capture_output=True, env=environment(), timeout=timeout)


def start(*args, cwd=None, **popen) -> subprocess.Popen:
    """Starts the command in a process group of its own, so that it and its workers can be
    killed together as a power cut would stop them."""
    return subprocess.Popen([*COMMAND, *map(str, args)], cwd=cwd, env=environment(), stdin=subprocess.DEVNULL,
                            start_new_session=True, **popen)


def migrate(keys, source, *args, cwd=None):
    """`migrate` of a store with the key files of write_key_files()."""
    return cli("migrate", source, "--legacy-key", keys / "old.pem", "--to", keys / "new.pub", *args, cwd=cwd)


def summary(result) -> dict[str, int]:
    """The counts of a migration summary's lines."""
    text = result.stdout.decode()
    counts = {}
    for name in ("migrated", "would migrate", "done by an earlier run", "already post-quantum", "failed",
                 "would fail", "not reached", "empty (NULL)", "changed by the application"):
        found = re.search(rf"^  {re.escape(name)}: +(\d+)", text, re.MULTILINE)
        if found:
            counts[name] = int(found.group(1))
    return counts


def done_records(journal, kind="done"):
    """The journal's whole "done" records, or those of another kind (a torn last line is none)."""
    if not journal.exists():
        return []
    records = []
    for line in journal.read_bytes().split(b"\n")[:-1]:
        try:
            record = json.loads(line.split(b" ", 1)[1])
        except (IndexError, ValueError):
            break
        if record.get("t") == kind:
            records.append(record)
    return records


def wait_for_progress(process, journal, recorded, timeout=60, kind="done"):
    deadline = time.monotonic() + timeout
    while process.poll() is None and len(done_records(journal, kind)) <= recorded and time.monotonic() < deadline:
        time.sleep(0.002)


def error_line(result: subprocess.CompletedProcess) -> str:
    """The single line a failed command prints on standard error."""
    text = result.stderr.decode()
    assert "Traceback" not in text, text
    lines = text.strip().splitlines()
    assert len(lines) == 1, text
    return lines[0]


@dataclass
class LegacyKey:
    """One classic key, as the `rsa` package made it and PyCryptodome reads it."""

    rsa_public: old_rsa.PublicKey
    pem: bytes  # PKCS#1 PEM, as rsa.PrivateKey.save_pkcs1() writes it
    oaep: object = field(repr=False)  # PyCryptodome's PKCS1_OAEP cipher for the same key

    @classmethod
    def make(cls, bits=1024):
        public, private = old_rsa.newkeys(bits)
        return cls(public, private.save_pkcs1(), OldOAEP.new(OldRSA.import_key(private.save_pkcs1()).publickey()))

    @classmethod
    @functools.cache
    def shared(cls):
        """One 1024-bit key for the session: the `rsa` package takes its time to make one."""
        return cls.make(1024)

    def v15(self, message: bytes) -> bytes:
        return old_rsa.encrypt(message, self.rsa_public)

    def oaep_encrypt(self, message: bytes) -> bytes:
        return self.oaep.encrypt(message)


PASSPHRASE = b"verify me"


def write_key_files(root: Path, legacy: "LegacyKey", hybrid_keys) -> Path:
    """The key files of a migration: the legacy key (PEM, as the rsa package saved it), the
    target pair, the target's private key protected, and its pass phrase."""
    files = {"old.pem": legacy.pem, "old.pub.pem": legacy.rsa_public.save_pkcs1(), "new.pub": hybrid_keys[0],
             "new.key": hybrid_keys[1], "new.protected": hp.protect_private_key(hybrid_keys[1], PASSPHRASE),
             "pass.txt": PASSPHRASE}
    for name, data in files.items():
        (root / name).write_bytes(data)
    return root


@dataclass
class Store:
    """A store on disk and what each file holds: "classic" files with their message,
    "post-quantum" ones with their bytes, and "garbage" that no key reads."""

    root: Path
    classic: dict[str, bytes] = field(default_factory=dict)
    post_quantum: dict[str, bytes] = field(default_factory=dict)
    garbage: dict[str, bytes] = field(default_factory=dict)
    originals: dict[str, bytes] = field(default_factory=dict)  # the classic files' bytes


def make_store(root: Path, legacy: LegacyKey, public_key: bytes, count: int, *, seed: int = 0) -> Store:
    """A store of `count` files in a few directories: four in ten made by the `rsa` package,
    four by PyCryptodome's OAEP, one already post-quantum, one garbage (of other sizes)."""
    import random

    rng = random.Random(seed)
    store = Store(root)
    size = (legacy.rsa_public.n.bit_length() + 7) // 8
    for number in range(count):
        relative = f"shard{number % 5}/{'sub/' if number % 3 == 0 else ''}item{number:04d}.bin"
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        message = f"record {number} ".encode() * rng.randrange(0, 4)
        kind = number % 10
        if kind < 4:
            data = legacy.v15(message)
        elif kind < 8:
            data = legacy.oaep_encrypt(message)
        elif kind == 8:
            data = hp.pack_ciphertext(*hp.pqc_encrypt_payload(message, public_key))
            store.post_quantum[relative] = data
        else:
            data = os.urandom(rng.choice([0, 1, size - 1, size + 1, 3 * size]))
            store.garbage[relative] = data
        if kind < 8:
            store.classic[relative] = message
            store.originals[relative] = data
        path.write_bytes(data)
    return store


def temporary_files(*roots: Path) -> list[Path]:
    return [p for root in roots if root.exists() for p in root.rglob(".hpqc-tmp-*")]


def check_store(store: Store, private_key: bytes, *, out: Path | None = None, backup: Path | None = None,
                complete: bool = True) -> int:
    """Checks every file of the store after a migration (complete) or after a crash in the
    middle of one (not complete: each file is then its original or its complete migrated
    form, never anything else). Returns the number of files checked."""
    for relative, data in {**store.post_quantum, **store.garbage}.items():
        assert (store.root / relative).read_bytes() == data, relative
        # The output is the whole store: what cannot be migrated is copied unchanged.
        if out is not None and (complete or (out / relative).exists()):
            assert (out / relative).read_bytes() == data, relative
    for relative, message in store.classic.items():
        original = store.originals[relative]
        result = (store.root / relative).read_bytes()
        if out is not None:
            assert result == original, f"{relative}: an original was changed"
            result = (out / relative).read_bytes() if (out / relative).exists() else None
        if result is None or result == original:
            assert not complete, f"{relative}: not migrated"
            continue
        assert hp.pqc_decrypt_payload(result, private_key) == message, relative
        if backup is not None:
            assert any(p.read_bytes() == original for p in backup.glob(relative + "*")), \
                f"{relative}: no backup holds the original"
    return len(store.classic) + len(store.post_quantum) + len(store.garbage)
