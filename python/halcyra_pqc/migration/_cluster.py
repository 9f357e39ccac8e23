"""Batches on a Dask distributed cluster: the one of a scheduler's address, or a cluster of
this machine's processes when none is given (over TLS, with credentials of its own).

The coordinator stays where it is: it plans the batches, keeps the journal, the counts and
the progress, and sends each batch to the cluster as a task. The settings (the keys' bytes
among them) are sent once to every worker; a worker parses the keys once per run. A task
that a dying worker took is given by the scheduler to another: every batch can be done again
without harm, since what was done reads as done (a migrated file or row with its backup).
"""

import logging
import os
import threading
from dataclasses import replace

from . import _worker
from ._errors import Refused

DASK_EXTRA = "halcyra-pqc[dask]"
# How long to wait for the scheduler before giving up, in seconds.
CONNECT_SECONDS = 30


def require_distributed():
    try:
        import distributed
    except ImportError:
        raise Refused(f"--engine dask needs Dask's distributed scheduler: pip install '{DASK_EXTRA}'") from None
    return distributed


class DaskPool:
    """The cluster, reached before anything changes (Refused when it cannot be); start() sends
    it the settings of the run, then it takes batches as the engine's pools do."""

    def __init__(self, plan) -> None:
        distributed = require_distributed()
        self._distributed = distributed
        self._cluster = None
        try:
            if plan.scheduler:
                self._client = distributed.Client(plan.scheduler, timeout=CONNECT_SECONDS)
            else:
                # The workers receive the legacy private key: TLS with credentials made for this
                # run alone, so that no other user of the machine can reach the scheduler or a
                # worker (an unsecured cluster runs whatever code any client sends it).
                from distributed.security import Security

                self._cluster = distributed.LocalCluster(n_workers=plan.jobs, threads_per_worker=1, processes=True,
                                                         dashboard_address=":0", silence_logs=logging.ERROR,
                                                         security=Security.temporary())
                self._client = distributed.Client(self._cluster)
        except (OSError, TimeoutError) as error:
            self.close()
            raise Refused(f"the Dask scheduler {plan.scheduler or '(of this machine)'} cannot be reached: "
                          f"{error}") from None
        threads = sum(self._client.nthreads().values())
        if threads == 0:
            self.close()
            raise Refused(f"the Dask scheduler {plan.scheduler} has no workers")
        self.width = threads
        self._function = self._settings = None
        self._futures = set()

    def describe(self) -> str:
        workers = len(self._client.nthreads())
        where = "a Dask cluster of this machine" if self._cluster is not None else "the Dask cluster"
        return f"{where}: {workers} worker{'s' if workers != 1 else ''}, {self.width} thread{'s' * (self.width != 1)}"

    def start(self, function, settings) -> "DaskPool":
        self._function = function
        self._settings = self._client.scatter(settings, broadcast=True, hash=False)
        return self

    def submit(self, batch):
        future = self._client.submit(self._function, self._settings, batch, pure=False)
        self._futures.add(future)
        return future

    def wait(self, futures: set, timeout: float) -> tuple[set, set]:
        try:
            done, pending = self._distributed.wait(list(futures), timeout=timeout, return_when="FIRST_COMPLETED")
        except TimeoutError:
            return set(), futures
        self._futures -= set(done)
        return set(done), set(pending)

    def died(self, error: BaseException) -> bool:
        from distributed.scheduler import KilledWorker

        return isinstance(error, KilledWorker)

    def kill(self) -> None:
        if self._futures:
            self._client.cancel(list(self._futures), force=True)
            self._futures.clear()

    def close(self) -> None:
        # Kept for a second run of the same coordinator only through a new pool.
        for closing in (getattr(self, "_client", None), self._cluster):
            if closing is not None:
                try:
                    closing.close()
                except Exception:  # noqa: BLE001  (a cluster already gone has nothing to release)
                    pass
        self._client = self._cluster = None


# --- on a worker of the cluster --------------------------------------------------------------

_lock = threading.Lock()
_served: dict[str, tuple["_worker._Worker", dict[int, int]]] = {}


def directory_batch(settings: _worker.Settings, batch: _worker.Batch) -> list[_worker.Report]:
    """A directory store's batch on a worker that reaches the store at the same path."""
    with _lock:
        served = _served.get(settings.prefix)
        if served is None:
            for old, _ in _served.values():
                old.close()
            _served.clear()
            devices = _devices_here(settings)
            settings = replace(settings, source_node=_here(settings.source_node, devices),
                               destination_node=_here(settings.destination_node, devices))
            served = _served[settings.prefix] = (_worker._Worker(settings), devices)
    worker, devices = served
    directories = {name: (_here(store, devices), _here(copy, devices))
                   for name, (store, copy) in batch.directories.items()}
    return _worker.process(replace(batch, directories=directories), worker)


def _devices_here(settings: _worker.Settings) -> dict[int, int]:
    """The coordinator's device numbers of the roots -> this machine's. A shared file system
    has other device numbers on every client: the directories are then known by their inodes,
    the root's checked to be the one the coordinator listed."""
    devices = {}
    for path, (device, inode) in ((settings.source, settings.source_node),
                                  (settings.destination, settings.destination_node)):
        info = os.stat(path, follow_symlinks=False)
        if info.st_ino == inode and info.st_dev != device:
            devices[device] = info.st_dev
    return devices


def _here(found, devices: dict[int, int]):
    return found if found is None or found[0] not in devices else (devices[found[0]], found[1])
