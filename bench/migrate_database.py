"""Throughput of `halcyra-pqc migrate` on a database column against its bound: SQLite and
PostgreSQL on this machine, each with --jobs N and on a Dask cluster of N worker processes.

    .venv/bin/python bench/migrate_database.py [--rows 3000] [--jobs N] [--batch 256] [--rounds 2]
                                               [--write docs/performance.md]

It makes one table of classic ciphertexts for an RSA-2048 key, half by the `rsa` package
(PKCS#1 v1.5) and half by PyCryptodome (OAEP), and runs rounds of, alternately:
- the bound: the same conversions (migrate_ciphertext) in N worker processes over the values
  held in memory, with no database at all (bench/migrate.py's crypto bound);
- the tool on a fresh copy of the table in SQLite (a file) and in PostgreSQL (a server this
  benchmark starts, as the tests do: Debian's postgresql package, a Unix socket), with
  --jobs N and with --engine dask (a cluster of N processes that the command starts), the
  rate read from its summary (the conversion phase) and the whole command's wall time.
Each figure is the best of the rounds. With --write, the table replaces the marked section
of docs/performance.md.
"""

import argparse
import os
import platform
import random
import re
import shutil
import sys
import tempfile
from datetime import UTC, datetime
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import migrate as file_bench  # noqa: E402  (bench/migrate.py: the bound and the timing helpers)

MARK_START = "<!-- migrate-database-benchmark:start -->"
MARK_END = "<!-- migrate-database-benchmark:end -->"
ENGINES = [("--jobs", ()), ("--engine dask", ("--engine", "dask"))]


def make_values(rows: int):
    import rsa
    from Crypto.Cipher import PKCS1_OAEP
    from Crypto.PublicKey import RSA

    import halcyra_pqc as hp

    key = RSA.generate(2048)
    public = rsa.PublicKey(key.n, key.e)
    oaep = PKCS1_OAEP.new(key.publickey())
    rng = random.Random(0)
    values = []
    for number in range(rows):
        message = os.urandom(rng.randrange(16, 129))
        values.append(rsa.encrypt(message, public) if number % 2 else oaep.encrypt(message))
    target = hp.generate_pqc_kem_keypair()[0]
    return key.export_key(), target, values


def fill(engine, values) -> None:
    import sqlalchemy

    from db_support import secrets_table

    metadata = sqlalchemy.MetaData()
    table = secrets_table(metadata)
    metadata.create_all(engine)
    with engine.begin() as connection:
        connection.execute(table.insert(), [{"id": n, "blob": v} for n, v in enumerate(values)])
    engine.dispose()


class Databases:
    """Fresh copies of the same table: an SQLite file copied, a PostgreSQL database made from a
    template."""

    def __init__(self, root: Path, values) -> None:
        from db_support import PostgresServer, engine_of, postgres_binaries

        self.root = root
        self.template = root / "template.db"
        fill(engine_of(f"sqlite:///{self.template}"), values)
        binaries = postgres_binaries()
        self.postgres = PostgresServer(binaries) if binaries else None
        if self.postgres:
            url = self.postgres.new_database()
            fill(engine_of(url), values)
            self.template_name = self.postgres.name_of(url)
        self.copies = 0

    def fresh(self, kind: str) -> str:
        self.copies += 1
        if kind == "sqlite":
            path = self.root / f"copy{self.copies}.db"
            shutil.copyfile(self.template, path)
            os.sync()
            return f"sqlite:///{path}"
        name = f"copy{self.copies}"
        with self.postgres.admin.connect() as connection:
            connection.exec_driver_sql(f"CREATE DATABASE {name} TEMPLATE {self.template_name}")
        return f"postgresql://postgres@/{name}?host={self.postgres.root}"

    def close(self) -> None:
        if self.postgres:
            self.postgres.stop()


def run_tool(root: Path, url: str, engine: tuple, jobs: int, batch: int) -> tuple[float, float]:
    """(rows/s from the summary, the whole command's wall time)."""
    state = Path(tempfile.mkdtemp(dir=root)) / "state"
    joiner = "&" if "?" in url else "?"
    command = [sys.executable, "-m", "halcyra_pqc", "migrate", f"{url}{joiner}table=secrets&column=blob&key=id",
               "--legacy-key", str(root / "legacy.pem"), "--to", str(root / "public.json"), "--state", str(state),
               "--jobs", str(jobs), "--batch", str(batch), *engine]
    wall, _, output = file_bench.timed_command(command)
    return float(re.search(r"throughput: ([\d.]+) rows/s", output).group(1)), wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=3000)
    parser.add_argument("--jobs", type=int, default=os.process_cpu_count() or 1)
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--write", type=Path, help="the performance document whose marked section to replace")
    args = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="halcyra-migrate-db-bench-"))
    load = [os.getloadavg()]
    legacy, target, values = make_values(args.rows)
    (root / "legacy.pem").write_bytes(legacy)
    (root / "public.json").write_bytes(target)
    databases = Databases(root, values)
    kinds = ["sqlite"] + (["postgresql"] if databases.postgres else [])
    results: dict[str, list[float]] = {}
    try:
        for _ in range(args.rounds):
            bound, _ = file_bench.rate_in_processes(file_bench._convert, (legacy, target, "auto"), values, args.jobs)
            results.setdefault("bound", []).append(bound)
            print(f"bound {bound:.0f} rows/s", file=sys.stderr)
            for kind in kinds:
                for label, engine in ENGINES:
                    rate, wall = run_tool(root, databases.fresh(kind), engine, args.jobs, args.batch)
                    results.setdefault(f"{kind} {label}", []).append(rate)
                    results.setdefault(f"{kind} {label} wall", []).append(wall)
                    print(f"{kind} {label}: {rate:.0f} rows/s, {wall:.1f} s", file=sys.stderr)
    finally:
        databases.close()
        shutil.rmtree(root)
    load.append(os.getloadavg())
    section = report(args, results, load, kinds)
    print(section)
    if args.write:
        file_bench.replace_section(args.write, section, start=MARK_START, end=MARK_END)


NOTES = (
    "Beyond the conversions, each row costs its share of a batch's read and one statement of the write "
    "transaction (the backup row, the guarded update), and the tool's Python around them; SQLite also syncs "
    "each batch's transaction to disk (the PostgreSQL server, started as the tests start it, runs without "
    "fsync: a server's own durability settings are its operator's). On a Dask cluster each batch is also a "
    "task that the scheduler hands out and whose report comes back to the coordinator; here the scheduler and "
    "a nanny process per worker share the two cores with the workers and the coordinator, which a cluster of "
    "other machines spares the workers. Figures vary by 10 to 30% from run to run on this shared machine.")


def report(args, results, load, kinds) -> str:
    import sqlalchemy

    bound = max(results["bound"])
    names = {"sqlite": "SQLite (a file)", "postgresql": "PostgreSQL 15 (Unix socket)"}
    lines = [
        MARK_START,
        "### Database columns, and a Dask cluster",
        "",
        f"`python bench/migrate_database.py` ({args.rows} rows, an RSA-2048 legacy key, half PKCS#1 v1.5 by the "
        f"`rsa` package and half OAEP by PyCryptodome, `--scheme auto`, `--jobs {args.jobs}`, `--batch {args.batch}`, "
        f"the best of {args.rounds} rounds). The **bound** is the same conversions (`migrate_ciphertext`) in "
        f"{args.jobs} processes over the values held in memory, with no database. Each run migrates a fresh copy of "
        "the table in place: every batch reads its rows, converts them, and in one short transaction inserts the "
        "old values into the backup table and makes one guarded update per row. `--engine dask` runs the same "
        f"batches on a Dask cluster of {args.jobs} worker processes of this machine that the command starts (its "
        "start is in the wall time, not in the rate). The rate is the conversion phase of the summary; the wall "
        "time is the whole command.",
        "",
        f"- {platform.machine()}, {os.cpu_count()} logical CPUs, Linux {platform.release()}; Python "
        f"{platform.python_version()}, SQLAlchemy {sqlalchemy.__version__}",
        f"- {datetime.now(UTC):%Y-%m-%d %H:%M} UTC; load average before {' / '.join(f'{x:.2f}' for x in load[0])}, "
        f"after {' / '.join(f'{x:.2f}' for x in load[1])}",
        "",
        "| store | engine | rows/s | ÷ bound | command wall s |",
        "|---|---|---:|---:|---:|",
        f"| values in memory (the bound) | {args.jobs} processes | {bound:.0f} | 1.00 | |",
    ]
    for kind in kinds:
        for label, _ in ENGINES:
            rate = max(results[f"{kind} {label}"])
            wall = min(results[f"{kind} {label} wall"])
            engine = f"--jobs {args.jobs}" if label == "--jobs" else f"--engine dask, {args.jobs} workers"
            lines.append(f"| {names[kind]} | {engine} | {rate:.0f} | {rate / bound:.2f} | {wall:.1f} |")
    lines += ["", NOTES, MARK_END]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
