"""Real databases and a real cluster for the migration of database columns: a PostgreSQL server
that the tests start in a temporary directory (Debian's postgresql package), SQLite files,
a Dask cluster of two worker processes over TCP, and tables of mixed rows made by the `rsa`
package and PyCryptodome, with what each row must read back as."""

import glob
import json
import os
import pwd
import random
import shutil
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest
import rsa as old_rsa
from Crypto.Cipher import PKCS1_OAEP as OldOAEP

import halcyra_pqc as hp
from halcyra_pqc.migration import decrypt_legacy_ciphertext, encrypt_to

sqlalchemy = pytest.importorskip("sqlalchemy", reason="the database stores need the db extra (SQLAlchemy)")


def postgres_binaries() -> str | None:
    """The directory of initdb and pg_ctl: Debian's newest, or the ones on the PATH."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    initdb = found[-1] if found else shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


class PostgresServer:
    """A PostgreSQL cluster of its own, owned by an unprivileged user (postgres, when the tests
    run as root), reached over a Unix socket in its directory only."""

    def __init__(self, binaries: str) -> None:
        self.binaries = binaries
        self.root = Path(tempfile.mkdtemp(prefix="halcyra-pg-"))
        self.data = self.root / "data"
        self.as_owner = []
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
            self.as_owner = ["runuser", "-u", "postgres", "--"]
        self._run("initdb", "-D", self.data, "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-sync")
        # No TCP at all; durability off, since only the clients are killed here.
        options = f"-k {self.root} -h '' -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        self._run("pg_ctl", "-D", self.data, "-l", self.root / "log", "-w", "-o", options, "start")
        self.url = f"postgresql://postgres@/postgres?host={self.root}"
        self.admin = sqlalchemy.create_engine(self.url.replace("postgresql:", "postgresql+psycopg:"),
                                              isolation_level="AUTOCOMMIT")
        self._databases = 0

    def _run(self, program: str, *args) -> None:
        subprocess.run([*self.as_owner, os.path.join(self.binaries, program), *map(str, args)], check=True,
                       capture_output=True, timeout=120)

    def new_database(self) -> str:
        """The URL of a new, empty database."""
        self._databases += 1
        name = f"store{self._databases}"
        with self.admin.connect() as connection:
            connection.exec_driver_sql(f"CREATE DATABASE {name}")
        return f"postgresql://postgres@/{name}?host={self.root}"

    @staticmethod
    def name_of(url: str) -> str:
        """The database name of a URL new_database() gave."""
        return url.split("@/", 1)[1].split("?", 1)[0]

    def terminate_clients(self, database: str) -> int:
        """Cuts every connection to `database`, as a failover or a network cut would."""
        with self.admin.connect() as connection:
            return len(connection.exec_driver_sql(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = %(d)s "
                "AND pid <> pg_backend_pid()", {"d": database}).all())

    def stop(self) -> None:
        self.admin.dispose()
        self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres():
    binaries = postgres_binaries()
    if binaries is None:
        pytest.skip("PostgreSQL's initdb and pg_ctl are not installed (Debian: apt-get install postgresql)")
    pytest.importorskip("psycopg", reason="PostgreSQL stores need the postgresql extra (psycopg 3)")
    server = PostgresServer(binaries)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def dask_scheduler():
    """The address of a local Dask cluster: a scheduler and two worker processes over TCP."""
    distributed = pytest.importorskip("distributed", reason="--engine dask needs the dask extra")
    import logging

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, protocol="tcp",
                                       host="127.0.0.1", dashboard_address=":0", silence_logs=logging.ERROR)
    yield cluster.scheduler_address
    cluster.close()


@dataclass(frozen=True)
class Keys:
    """A classic RSA-2048 key (PyCryptodome's, saved as the old programs saved it), the target
    pair, and the key files of the command."""

    pem: bytes
    rsa_public: old_rsa.PublicKey
    oaep: object
    public: bytes
    private: bytes
    files: Path

    @property
    def modulus_size(self) -> int:
        return (self.rsa_public.n.bit_length() + 7) // 8

    def message_of(self, value: bytes | None) -> bytes | None:
        """What the application reads from a value: classic or post-quantum."""
        if value is None:
            return None
        if len(value) == self.modulus_size:
            return decrypt_legacy_ciphertext(value, self.pem)[1]
        return hp.pqc_decrypt_payload(value, self.private)

    def classic(self, message: bytes, rng: random.Random) -> bytes:
        """A classic ciphertext as either old library made it."""
        return old_rsa.encrypt(message, self.rsa_public) if rng.random() < 0.5 else self.oaep.encrypt(message)


def make_keys(root: Path, cryptodome_key, hybrid_keys) -> Keys:
    pem = cryptodome_key.export_key()
    for name, data in {"old.pem": pem, "new.pub": hybrid_keys[0], "new.key": hybrid_keys[1]}.items():
        (root / name).write_bytes(data)
    public = old_rsa.PublicKey(cryptodome_key.n, cryptodome_key.e)
    return Keys(pem, public, OldOAEP.new(cryptodome_key.publickey()), hybrid_keys[0], hybrid_keys[1], root)


def engine_of(url: str):
    return sqlalchemy.create_engine(url.replace("postgresql:", "postgresql+psycopg:", 1),
                                    connect_args={"timeout": 30} if url.startswith("sqlite") else {},
                                    pool_pre_ping=True)


def secrets_table(metadata, name: str = "secrets"):
    return sqlalchemy.Table(name, metadata, sqlalchemy.Column("id", sqlalchemy.Integer, primary_key=True,
                                                              autoincrement=False),
                            sqlalchemy.Column("blob", sqlalchemy.LargeBinary))


@dataclass
class Table:
    """A table of mixed rows and what each must read back as: classic rows their message,
    the others their very bytes (None for NULL)."""

    url: str  # the database's
    keys: Keys
    engine: object
    table: object
    classic: dict[int, bytes] = field(default_factory=dict)  # key -> message
    originals: dict[int, bytes] = field(default_factory=dict)  # key -> classic value
    unchanged: dict[int, bytes | None] = field(default_factory=dict)  # post-quantum, garbage, NULL
    garbage: set[int] = field(default_factory=set)
    nulls: set[int] = field(default_factory=set)

    @property
    def store(self) -> str:
        joiner = "&" if "?" in self.url else "?"
        return f"{self.url}{joiner}table={self.table.name}&column=blob&key=id"

    def table_names(self) -> list[str]:
        return sqlalchemy.inspect(self.engine).get_table_names()

    def rows(self) -> dict[int, bytes | None]:
        with self.engine.connect() as connection:
            return dict(connection.execute(sqlalchemy.select(self.table.c.id, self.table.c.blob)).all())

    def backups(self) -> list[tuple[int, bytes, int]]:
        if f"{self.table.name}_halcyra_backup" not in self.table_names():
            return []
        with self.engine.connect() as connection:
            return connection.exec_driver_sql(f"SELECT key, old_value, run FROM {self.table.name}_halcyra_backup"
                                              ).all()

    def check(self, *, complete: bool = True, skip=frozenset()) -> int:
        """Every row as it must be after a run (complete) or after a run was cut short (each
        classic row its original or migrated, nothing else), and every migrated row's
        original in the backup table. Returns how many rows are migrated."""
        rows = self.rows()
        backed = {}
        for key, old, _ in self.backups():
            backed.setdefault(key, []).append(bytes(old))
        migrated = 0
        for key, message in self.classic.items():
            if key in skip:
                continue
            value = rows[key]
            if value == self.originals[key]:
                assert not complete, f"row {key}: not migrated"
                continue
            assert value[:4] == b"HPQC" and self.keys.message_of(value) == message, f"row {key}"
            assert self.originals[key] in backed.get(key, ()), f"row {key}: no backup holds its old value"
            migrated += 1
        for key, value in self.unchanged.items():
            if key not in skip:
                assert rows[key] == value, f"row {key} was changed"
                assert key not in backed, f"row {key} has a backup but was not migrated"
        return migrated


def make_table(url: str, keys: Keys, count: int, *, seed: int = 0, name: str = "secrets") -> Table:
    """`count` rows with keys 0, 1, ...: seven in ten classic (by either library), one already
    post-quantum, one not a ciphertext (of other sizes), one NULL."""
    rng = random.Random(seed)
    engine = engine_of(url)
    metadata = sqlalchemy.MetaData()
    table = Table(url, keys, engine, secrets_table(metadata, name))
    metadata.create_all(engine)
    rows = []
    size = keys.modulus_size
    for key in range(count):
        kind = key % 10
        message = f"secret {key} ".encode() * rng.randrange(0, 4)
        if kind < 7:
            value = keys.classic(message, rng)
            table.classic[key], table.originals[key] = message, value
        elif kind == 7:
            value = table.unchanged[key] = encrypt_to(message, keys.public)
        elif kind == 8:
            value = table.unchanged[key] = os.urandom(rng.choice([0, 1, size - 1, size + 1]))
            table.garbage.add(key)
        else:
            value = table.unchanged[key] = None
            table.nulls.add(key)
        rows.append({"id": key, "blob": value})
    with engine.begin() as connection:
        connection.execute(table.table.insert(), rows)
    return table


class Writer(threading.Thread):
    """The application, writing while a migration runs: short transactions that update rows
    (with classic values, as an old instance would, or post-quantum ones), insert rows and
    delete rows. `last` is what each row it touched must read back as (None: deleted)."""

    def __init__(self, table: Table, keys_to_touch: list[int], *, seed: int = 1, pause: float = 0.01) -> None:
        super().__init__(daemon=True)
        self.table, self.touch, self.pause = table, keys_to_touch, pause
        self.rng = random.Random(seed)
        self.last: dict[int, bytes | None] = {}
        self.inserted_classic: set[int] = set()
        self.stop = threading.Event()
        self.error: BaseException | None = None
        self.engine = engine_of(table.url)

    def run(self) -> None:
        try:
            table = self.table.table
            next_key = 1_000_000
            while not self.stop.is_set():
                choice = self.rng.random()
                message = f"written {self.rng.getrandbits(32)}".encode()
                classic = self.rng.random() < 0.5
                value = (self.table.keys.classic(message, self.rng) if classic
                         else encrypt_to(message, self.table.keys.public))
                with self.engine.begin() as connection:
                    if choice < 0.6:
                        key = self.rng.choice(self.touch)
                        if self.last.get(key, b"") is None:
                            continue
                        connection.execute(table.update().where(table.c.id == key).values(blob=value))
                    elif choice < 0.85:
                        key = next_key
                        next_key += 1
                        connection.execute(table.insert().values(id=key, blob=value))
                        if classic:
                            self.inserted_classic.add(key)
                    else:
                        key = self.rng.choice(self.touch)
                        connection.execute(table.delete().where(table.c.id == key))
                        message = None
                self.last[key] = message
                time.sleep(self.pause)
        except BaseException as error:  # reported by finish()
            self.error = error

    def finish(self) -> None:
        self.stop.set()
        self.join(timeout=60)
        self.engine.dispose()
        assert self.error is None, repr(self.error)

    def check(self) -> None:
        """No write of the application's lost, and every row it wrote readable."""
        rows = self.table.rows()
        for key, message in self.last.items():
            if message is None:
                assert key not in rows, f"row {key} was deleted and is back"
            else:
                assert self.table.keys.message_of(rows[key]) == message, f"row {key}: the application's write was lost"


def journal_records(state: Path, kind: str) -> list[dict]:
    """The whole records of one kind in a migration's journal (a torn last line is none)."""
    path = state / "journal"
    if not path.exists():
        return []
    found = []
    for line in path.read_bytes().split(b"\n")[:-1]:
        try:
            record = json.loads(line.split(b" ", 1)[1])
        except (IndexError, ValueError):
            break
        if record.get("t") == kind:
            found.append(record)
    return found
