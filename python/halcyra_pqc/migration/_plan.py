"""The plan of a migration: what the operator asked for, checked before anything is read or
changed, and the identity it fixes for every later run of the same migration."""

import os
from dataclasses import dataclass

from .._key_reader import fingerprint, load_key, public_key_bytes
from .._legacy import checked_scheme
from ._errors import Refused
from ._fs import node
from ._item import Keys, parse_keys
from ._target import DatabaseTarget, is_database_url, parse_target

STATE_SUFFIX = ".halcyra-migration"
# Where the batches run: worker processes of this machine, or a Dask cluster.
LOCAL = "local"
DASK = "dask"
ENGINES = (LOCAL, DASK)


@dataclass(frozen=True)
class Plan:
    source: str  # the store, absolute and resolved
    out: str | None  # the output tree, out of place
    in_place: bool
    state: str | None  # None only for a dry run that says neither
    legacy_key: bytes
    target_key: bytes  # public key bytes
    verify_key: bytes | None  # the target's private key bytes, to verify each new ciphertext
    scheme: str
    jobs: int
    keys: Keys
    legacy_fingerprint: str
    target_fingerprint: str
    database: "DatabaseTarget | None" = None  # a column of a table, when the store is one
    engine: str = LOCAL
    scheduler: str | None = None  # the Dask scheduler's address; None: a cluster of this machine
    batch: int | None = None  # items per batch, when the operator says

    @property
    def mode(self) -> str:
        return "in-place" if self.in_place else "out"

    @property
    def modulus_size(self) -> int:
        return self.keys.modulus_size

    def identity(self) -> dict:
        """What the migration is; every later run must be the same."""
        return {"mode": self.mode, "source": self.source, "out": self.out, "target": self.target_fingerprint,
                "legacy": self.legacy_fingerprint, "scheme": self.scheme}


def make_plan(source: str, *, out: str | None, in_place: bool, state: str | None, legacy_key: bytes,
              target_key: bytes, verify_key: bytes | None = None, scheme: str = "auto", jobs: int | None = None,
              dry_run: bool = False, engine: str = LOCAL, scheduler: str | None = None,
              batch: int | None = None) -> Plan:
    """Checks what was asked (Refused, saying what is wrong); paths as the operator gave them."""
    if engine not in ENGINES:
        raise Refused(f"--engine must be one of {', '.join(ENGINES)}")
    if scheduler is not None and engine != DASK:
        raise Refused("--scheduler is the address of a Dask scheduler: give it with --engine dask")
    if batch is not None and batch < 1:
        raise Refused("--batch must be at least 1")
    if is_database_url(source):
        return _database_plan(source, out=out, state=state, legacy_key=legacy_key, target_key=target_key,
                              verify_key=verify_key, scheme=scheme, jobs=jobs, engine=engine, scheduler=scheduler,
                              batch=batch)
    given = source
    source = os.path.realpath(source)
    if not os.path.isdir(source):
        raise Refused(f"{given}: not a directory")
    if not os.access(source, os.R_OK | os.X_OK):
        raise Refused(f"{given}: the directory cannot be read")
    if not (in_place or out or dry_run):
        raise Refused("say where the migrated files go: --out DIR (originals untouched) "
                      "or --in-place (originals kept in a backup)")
    given_out = out
    if out is not None:
        out = os.path.realpath(out)
        if out == source:
            raise Refused("--out is the source directory: use --in-place to replace the files there")
        if contains(out, source):
            raise Refused("the source directory lies inside --out, where outputs could replace originals")
        if contains(source, out):
            raise Refused("--out lies inside the source directory, which a migration to --out never changes")
        if os.path.lexists(out) and not os.path.isdir(out):
            raise Refused(f"{given_out}: not a directory")
    written = source if in_place else out
    state = os.path.realpath(state) if state else (written + STATE_SUFFIX if written else None)
    if state is not None and any(contains(root, state) or contains(state, root) for root in (source, out) if root):
        raise Refused("--state must be a directory of its own, apart from the source and output directories "
                      "(neither inside them nor holding them)")
    scheme, jobs, keys = _checked(scheme, jobs, legacy_key, target_key, verify_key)
    return Plan(source, out, in_place, state, legacy_key, target_key, verify_key, scheme, jobs, keys,
                fingerprint(legacy_key), fingerprint(target_key), engine=engine, scheduler=scheduler, batch=batch)


def _database_plan(source: str, *, out, state, legacy_key, target_key, verify_key, scheme, jobs, engine,
                   scheduler, batch) -> Plan:
    """A column of a table is always migrated in place, each old value kept in a backup table."""
    if out is not None:
        raise Refused("a database column is migrated in place, each old value kept in a backup table: "
                      "leave out --out")
    target = parse_target(source)
    state = os.path.realpath(state or target.default_state())
    scheme, jobs, keys = _checked(scheme, jobs, legacy_key, target_key, verify_key)
    return Plan(target.shown, None, True, state, legacy_key, target_key, verify_key, scheme, jobs, keys,
                fingerprint(legacy_key), fingerprint(target_key), database=target, engine=engine,
                scheduler=scheduler, batch=batch)


def _checked(scheme, jobs, legacy_key, target_key, verify_key) -> tuple[str, int, Keys]:
    scheme = checked_scheme(scheme)
    jobs = jobs if jobs is not None else (os.process_cpu_count() or 1)
    if jobs < 1:
        raise Refused("--jobs must be at least 1")
    try:
        keys = parse_keys(legacy_key, target_key, verify_key)
        if verify_key is not None and (not load_key(verify_key, "verify key").private
                                       or public_key_bytes(verify_key) != public_key_bytes(target_key)):
            raise ValueError("the verification key is not the private key of the target key")
    except ValueError as error:
        raise Refused(str(error)) from None
    return scheme, jobs, keys


def contains(outer: str, inner: str) -> bool:
    """Whether `inner` is `outer` or lies below it: by their resolved paths, and by the
    directories themselves, so that a bind mount of one inside the other counts too."""
    if os.path.commonpath([outer, inner]) == outer:
        return True
    try:
        target = node(os.stat(outer))
    except OSError:
        return False
    path = inner
    while True:
        try:
            if node(os.stat(path)) == target:
                return True
        except OSError:
            pass
        parent = os.path.dirname(path)
        if parent == path:
            return False
        path = parent
