"""Real databases and a real cluster for the migration of database columns: a PostgreSQL server
the tests start in a temporary directory (Debian's postgresql package), SQLite files, a Dask
cluster of two worker processes over TCP, and tables of mixed rows made by the `rsa` package
and PyCryptodome, with what each row must read back as."""

import glob
import logging
import os
import pwd
import random
import shutil
import subprocess
import tempfile
import threading
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
    run as root), reached only over a Unix socket in its directory."""

    def __init__(self, binaries: str) -> None:
        self.binaries, self.root = binaries, Path(tempfile.mkdtemp(prefix="halcyra-pg-"))
        self.as_owner = []
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
            self.as_owner = ["runuser", "-u", "postgres", "--"]
        self._run("initdb", "-D", self.root / "data", "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-sync")
        # No TCP; no durability, since only the clients are ever killed here.
        options = f"-k {self.root} -h '' -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        self._run("pg_ctl", "-D", self.root / "data", "-l", self.root / "log", "-w", "-o", options, "start")
        self.admin = engine_of(f"postgresql://postgres@/postgres?host={self.root}", isolation_level="AUTOCOMMIT")
        self._databases = 0

    def _run(self, program: str, *args) -> None:
        subprocess.run([*self.as_owner, os.path.join(self.binaries, program), *map(str, args)], check=True,
                       capture_output=True, timeout=120)

    def new_database(self) -> str:
        """The URL of a new, empty database."""
        self._databases += 1
        with self.admin.connect() as connection:
            connection.exec_driver_sql(f"CREATE DATABASE store{self._databases}")
        return f"postgresql://postgres@/store{self._databases}?host={self.root}"

    @staticmethod
    def name_of(url: str) -> str:
        return url.split("@/", 1)[1].split("?", 1)[0]

    def terminate_clients(self, url: str) -> int:
        """Cuts every connection to the database of `url`, as a failover or a network cut would."""
        with self.admin.connect() as connection:
            return len(connection.exec_driver_sql(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = %(d)s "
                "AND pid <> pg_backend_pid()", {"d": self.name_of(url)}).all())

    def waiting_for_locks(self, url: str) -> int:
        """How many sessions of the database of `url` wait for a lock another holds."""
        with self.admin.connect() as connection:
            return connection.exec_driver_sql(
                "SELECT count(*) FROM pg_stat_activity WHERE datname = %(d)s AND wait_event_type = 'Lock'",
                {"d": self.name_of(url)}).scalar()

    def stop(self) -> None:
        self.admin.dispose()
        self._run("pg_ctl", "-D", self.root / "data", "-m", "immediate", "-w", "stop")
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
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, protocol="tcp",
                                       host="127.0.0.1", dashboard_address=":0", silence_logs=logging.ERROR)
    yield cluster.scheduler_address
    cluster.close()


def engine_of(url: str, **options):
    sqlite = url.startswith("sqlite")
    return sqlalchemy.create_engine(url if sqlite else url.replace("postgresql:", "postgresql+psycopg:", 1),
                                    connect_args={"timeout": 30} if sqlite else {}, pool_pre_ping=True, **options)


@dataclass(frozen=True)
class Keys:
    """A classic RSA-2048 key (saved as the old programs saved it), the target pair, and the
    command's key files."""

    pem: bytes
    rsa_public: old_rsa.PublicKey
    oaep: object
    public: bytes
    private: bytes
    files: Path

    @classmethod
    def make(cls, root: Path, cryptodome_key, hybrid_keys) -> "Keys":
        pem = cryptodome_key.export_key()
        for name, data in {"old.pem": pem, "new.pub": hybrid_keys[0], "new.key": hybrid_keys[1]}.items():
            (root / name).write_bytes(data)
        return cls(pem, old_rsa.PublicKey(cryptodome_key.n, cryptodome_key.e), OldOAEP.new(cryptodome_key.publickey()),
                   *hybrid_keys, root)

    @property
    def modulus_size(self) -> int:
        return (self.rsa_public.n.bit_length() + 7) // 8

    def message_of(self, value: bytes | None) -> bytes | None:
        """What the application reads from a value, classic or post-quantum."""
        if value is None or len(value) != self.modulus_size:
            return None if value is None else hp.pqc_decrypt_payload(value, self.private)
        return decrypt_legacy_ciphertext(value, self.pem)[1]

    def classic(self, message: bytes, rng: random.Random) -> bytes:
        """A classic ciphertext as either old library made it."""
        return old_rsa.encrypt(message, self.rsa_public) if rng.random() < 0.5 else self.oaep.encrypt(message)


def secrets_table(metadata, name: str = "secrets"):
    return sqlalchemy.Table(name, metadata, sqlalchemy.Column("id", sqlalchemy.Integer, primary_key=True,
                                                              autoincrement=False),
                            sqlalchemy.Column("blob", sqlalchemy.LargeBinary))


@dataclass
class Table:
    """A table of mixed rows: the classic rows' messages and old values, and the bytes (None
    for NULL) of the rows that must stay as they are."""

    url: str  # the database's
    keys: Keys
    table: object
    classic: dict[int, bytes] = field(default_factory=dict)
    originals: dict[int, bytes] = field(default_factory=dict)
    unchanged: dict[int, bytes | None] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.engine = engine_of(self.url)

    @property
    def store(self) -> str:
        return f"{self.url}{'&' if '?' in self.url else '?'}table={self.table.name}&column=blob&key=id"

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
        classic row its old value or migrated, nothing else), and every migrated row's old
        value in the backup table. Returns how many rows are migrated."""
        rows, backed = self.rows(), {}
        for key, old, _ in self.backups():
            backed.setdefault(key, []).append(bytes(old))
        migrated = 0
        for key in self.classic.keys() - skip:
            if rows[key] == self.originals[key]:
                assert not complete, f"row {key}: not migrated"
                continue
            assert rows[key][:4] == b"HPQC" and self.keys.message_of(rows[key]) == self.classic[key], f"row {key}"
            assert self.originals[key] in backed.get(key, ()), f"row {key}: no backup holds its old value"
            migrated += 1
        for key in self.unchanged.keys() - skip:
            assert rows[key] == self.unchanged[key] and key not in backed, f"row {key} was changed"
        return migrated


def make_table(url: str, keys: Keys, count: int, *, seed: int = 0) -> Table:
    """`count` rows with keys 0, 1, ...: seven in ten classic (by either library), one already
    post-quantum, one not a ciphertext (of other sizes), one NULL."""
    rng = random.Random(seed)
    metadata = sqlalchemy.MetaData()
    table = Table(url, keys, secrets_table(metadata))
    metadata.create_all(table.engine)
    rows = []
    for key in range(count):
        message = f"secret {key} ".encode() * rng.randrange(0, 4)
        kind = key % 10
        if kind < 7:
            value = table.originals[key] = keys.classic(message, rng)
            table.classic[key] = message
        else:
            value = table.unchanged[key] = (encrypt_to(message, keys.public) if kind == 7 else None if kind == 9
                                            else os.urandom(rng.choice([0, 1, keys.modulus_size + 1])))
        rows.append({"id": key, "blob": value})
    with table.engine.begin() as connection:
        connection.execute(table.table.insert(), rows)
    return table


class Writer(threading.Thread):
    """The application, writing while a migration runs: short transactions that update rows
    (with classic values, as an old instance would, or post-quantum ones), insert and delete
    rows. `last` is what each row it touched must read back as (None: deleted)."""

    def __init__(self, table: Table, keys_to_touch: list[int], *, seed: int = 1) -> None:
        super().__init__(daemon=True)
        self.table, self.touch, self.rng = table, keys_to_touch, random.Random(seed)
        self.last: dict[int, bytes | None] = {}
        self.stop, self.error = threading.Event(), None

    def run(self) -> None:
        table, engine, next_key = self.table.table, engine_of(self.table.url), 1_000_000
        try:
            while not self.stop.wait(0.01):
                choice, message = self.rng.random(), f"written {self.rng.getrandbits(32)}".encode()
                value = (self.table.keys.classic(message, self.rng) if self.rng.random() < 0.5
                         else encrypt_to(message, self.table.keys.public))
                key = self.rng.choice(self.touch)
                if choice < 0.25:
                    key, next_key, statement = next_key, next_key + 1, table.insert().values(id=next_key, blob=value)
                elif choice < 0.4:
                    message, statement = None, table.delete().where(table.c.id == key)
                elif self.last.get(key, b"") is not None:
                    statement = table.update().where(table.c.id == key).values(blob=value)
                else:
                    continue  # deleted already
                with engine.begin() as connection:
                    connection.execute(statement)
                self.last[key] = message
        except BaseException as error:  # reported by finish()
            self.error = error
        finally:
            engine.dispose()

    def finish(self) -> None:
        self.stop.set()
        self.join(timeout=60)
        assert self.error is None, repr(self.error)

    def check(self) -> None:
        """No write of the application's lost, and every row it wrote readable."""
        rows = self.table.rows()
        for key, message in self.last.items():
            assert (self.table.keys.message_of(rows[key]) if key in rows else None) == message, f"row {key}"
