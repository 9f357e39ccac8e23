"""`migrate`: re-encrypts every classic ciphertext file under a directory, or every value of a
database column, to a post-quantum key. The command parses, reads the key files, calls the migration engine
(halcyra_pqc.migration) and prints its summary; Ctrl-C and SIGTERM ask the engine to stop."""

import signal
import sys

from ... import public_key_bytes
from .. import keyfiles
from ..exits import FAILED as EXIT_FAILED
from ..exits import INTERRUPTED, OK, STOPPED, UsageError

NAME = "migrate"
SUMMARY = "re-encrypt a directory or a database column of classic RSA ciphertexts to a post-quantum key"

EXAMPLES = """\
examples:
  halcyra-pqc migrate /srv/blobs --legacy-key old.pem --to public.json --dry-run
  halcyra-pqc migrate /srv/blobs --legacy-key old.pem --to public.json --out /srv/blobs-pq
  halcyra-pqc migrate /srv/blobs --legacy-key old.pem --to public.json --in-place \\
      --verify-with private.json --verify-passphrase-file pass.txt
  halcyra-pqc migrate 'sqlite:///app.db?table=secrets&column=blob&key=id' --legacy-key old.pem --to public.json
  halcyra-pqc migrate 'postgresql://app@db.internal/prod?table=secrets&column=blob&key=id' \\
      --legacy-key old.pem --to public.json --engine dask --scheduler tcp://10.0.0.5:8786

Every file under SRC whose size is the legacy key's modulus size is re-encrypted; files that
already are post-quantum ciphertexts are skipped (copied with --out); anything else is
reported as failed and kept (copied with --out). Stop it at any time (Ctrl-C, kill, power
cut) and run the same command again: it resumes. With --in-place the originals are kept in
STATE/backup, which this tool never removes. A database column (SRC a URL such as
sqlite:///app.db?table=secrets&column=blob&key=id) is migrated in place while the application
keeps using the table: short batches (--batch), each row changed only if it still holds the
value read, each old value kept first in a backup table (TABLE_halcyra_backup) that this tool
never drops; rows the application changed meanwhile are counted and left as they are.
--engine dask runs the batches on a Dask cluster (--scheduler tcp://HOST:PORT, or a local one).

Before anything changes, the legacy key must open one of the store's first classic items
(else exit code 2: migrate a store of several keys once per key, each with its own --state).
--out leaves SRC untouched; stop the programs that write to SRC before --in-place of a
directory. STATE, a directory of the tool's alone outside SRC and DIR (on SRC's file system in
place), holds the run's identity, journal and lock, the last run's failures (failed.txt) and
the backups. The operator's guide is the chapter "Migrating a store" of docs/migration.md in
the sources, with "Migrating a database column" and "A store larger than one machine"."""


def add_arguments(migrate) -> None:
    migrate.add_argument("source", metavar="SRC",
                         help="directory of the store, or a database URL naming the table, the ciphertext column and "
                              "the primary key: sqlite:///app.db?table=secrets&column=blob&key=id")
    migrate.add_argument("--legacy-key", required=True, metavar="KEY",
                         help="the classic RSA private key (PEM or DER) the old ciphertexts were made for")
    migrate.add_argument("--to", required=True, metavar="PUBLIC_KEY", help="the post-quantum public key to re-encrypt to")
    where = migrate.add_mutually_exclusive_group()
    where.add_argument("--out", metavar="DIR", help="write the migrated store to DIR (new or empty); SRC is untouched")
    where.add_argument("--in-place", action="store_true",
                       help="replace the files in SRC, keeping each original in STATE/backup")
    migrate.add_argument("--state", metavar="STATE",
                         help="identity, journal, lock and backups, in a directory of the running user's that no one "
                              "else can write (default: DIR.halcyra-migration, or SRC.halcyra-migration in place)")
    migrate.add_argument("--jobs", "-j", type=int, metavar="N", help="worker processes (default: the CPU count)")
    migrate.add_argument("--scheme", choices=("auto", "oaep-sha1", "pkcs1v15"), default="auto",
                         help="how the old data was encrypted: auto (OAEP with SHA-1, then PKCS#1 v1.5; default), "
                              "oaep-sha1 (PyCryptodome's PKCS1_OAEP) or pkcs1v15 (the rsa package's encrypt)")
    migrate.add_argument("--dry-run", action="store_true", help="report what would be done; change nothing")
    migrate.add_argument("--verify-with", metavar="PRIVATE_KEY",
                         help="decrypt each new ciphertext with this key (the private key of --to) and compare, "
                              "before it is put in place")
    migrate.add_argument("--legacy-passphrase-file", metavar="FILE", help="pass phrase of a protected --legacy-key")
    migrate.add_argument("--verify-passphrase-file", metavar="FILE", help="pass phrase of a protected --verify-with")
    migrate.add_argument("--batch", type=int, metavar="N",
                         help="items per batch: for a database, rows per short transaction (default 256)")
    migrate.add_argument("--engine", choices=("local", "dask"), default="local",
                         help="where the work runs: local worker processes (default) or a Dask cluster")
    migrate.add_argument("--scheduler", metavar="ADDRESS",
                         help="with --engine dask, the scheduler's address (tcp://host:8786); without it, a cluster "
                              "of --jobs processes of this machine")
    migrate.add_argument("--progress-every", type=float, default=10.0, metavar="SECONDS",
                         help="when standard error is not a terminal, a progress line every SECONDS (default 10)")


def run(args) -> int:
    from ...migration.engine import Damaged, Refused, dry_run, make_plan
    from ...migration.engine import run as run_plan
    from ..progress import Progress
    from ..summary import report

    legacy, target, verify = _keys(args)
    try:
        plan = make_plan(args.source, out=args.out, in_place=args.in_place, state=args.state, legacy_key=legacy,
                         target_key=target, verify_key=verify, scheme=args.scheme, jobs=args.jobs,
                         dry_run=args.dry_run, engine=args.engine, scheduler=args.scheduler, batch=args.batch)
        if args.dry_run:
            summary = dry_run(plan)
        else:
            with _StopRequest() as stop:
                summary = run_plan(plan, should_stop=lambda: stop.requested,
                                   progress=lambda total: Progress(total, label="migrate", interval=args.progress_every))
    except Refused as refusal:
        raise UsageError(str(refusal)) from None
    except Damaged as damage:
        print(f"halcyra-pqc: {damage}", file=sys.stderr)
        return STOPPED
    print(report(summary))
    if summary.stopped:
        return STOPPED
    if summary.interrupted:
        return INTERRUPTED
    return EXIT_FAILED if summary.tally.failures else OK


def _keys(args) -> tuple[bytes, bytes, bytes | None]:
    legacy, legacy_key = keyfiles.private_key(args.legacy_key, args.legacy_passphrase_file, purpose="migration",
                                              passphrase_option="--legacy-passphrase-file")
    if legacy_key["kind"] != "classic-rsa":
        raise UsageError(f"{args.legacy_key}: a post-quantum key, whose ciphertexts need no conversion; "
                         f"--legacy-key takes the classic RSA private key of the old data")
    target = keyfiles.post_quantum_public_key(args.to, purpose="--to")
    verify = None
    if args.verify_with:
        verify, verify_key = keyfiles.private_key(args.verify_with, args.verify_passphrase_file,
                                                  purpose="--verify-with", passphrase_option="--verify-passphrase-file")
        if verify_key["kind"] == "classic-rsa" or public_key_bytes(verify) != target:
            raise UsageError(f"{args.verify_with}: not the private key of {args.to}")
    return legacy, target, verify


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
