"""The Dask engine: rows computed by the workers of a Dask cluster.

The data goes to the workers once (``Client.scatter`` to every worker);
each task names the scattered frames and a run of combinations, and returns
the job's summary of each (plain data: rows, sums, scores).  ``"local"`` starts a cluster of
worker processes for the run, listening on 127.0.0.1 only.

The workers need this package installed (the tasks refer to its functions by
name), any strategy file at the same absolute path, and any module path
importable.
"""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import threading
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from .errors import DaskUnavailable, WorkerCrashed
from .progress import progress_bar
from .task import Job, Task, worker_tasks

__all__ = ["run_dask", "start_fork_server"]

_INSTALL = "the Dask engine needs the 'dask' extra: pip install 'quorvane[dask]'"


def run_dask(job: Job, tasks: Sequence[Task], data: Mapping[str, Any], address: Any,
             workers: int, progress: bool, label: str = "sweep") -> list[Any]:
    """The summaries of ``tasks``, in their order, computed on the cluster
    at ``address`` (a scheduler address, ``"local"``, or a connected
    ``distributed.Client``, which is left open)."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise DaskUnavailable(_INSTALL) from None

    cluster = None
    if isinstance(address, Client):
        client, own_client = address, False
    else:
        own_client = True
        try:
            if address == "local":
                cluster = _local_cluster(LocalCluster, workers)
                client = Client(cluster)
            else:
                client = Client(address, timeout="20s")
        except (OSError, ValueError) as exc:
            if cluster is not None:
                cluster.close()
            raise DaskUnavailable(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    try:
        return _run(client, job, tasks, data, progress, label)
    finally:
        if own_client:
            client.close()
        if cluster is not None:
            cluster.close()


# What the workers of a local cluster need before their first row; the fork
# server imports it once and every worker is forked with it.
_PRELOAD = ["distributed", "numpy", "pandas", "threadpoolctl", "quorvane.backtest",
            "quorvane.sweeps.task"]
# One BLAS thread per worker: the sweep runs one worker per core.
_ONE_THREAD = {"OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}


def start_fork_server() -> None:
    """Start the fork server that the workers of ``dask="local"`` are forked
    from, without waiting for it: it imports distributed, pandas and this
    package on another core while this process reads the data.  Started
    later by the cluster itself, those imports came after the read, and the
    cluster took 0.55 s to start instead of 0.08 s.

    Raises :class:`DaskUnavailable` without Dask, before any data is read.
    """
    import importlib.util
    import multiprocessing

    if importlib.util.find_spec("distributed") is None:
        raise DaskUnavailable(_INSTALL)
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return
    from multiprocessing import forkserver

    multiprocessing.get_context("forkserver").set_forkserver_preload(_PRELOAD)
    # The workers inherit the fork server's environment and its Ctrl-C
    # disposition, not this process's at the time they start.
    saved = {name: os.environ.get(name) for name in _ONE_THREAD}
    try:
        os.environ.update(_ONE_THREAD)
        with _workers_ignore_ctrl_c():
            forkserver.ensure_running()
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _local_cluster(cluster_class: Any, workers: int) -> Any:
    import multiprocessing

    import dask

    # Workers forked from a fork server start in half the time of spawned
    # ones (the server has imported pandas and distributed once), and, unlike
    # workers forked from this process, inherit none of its threads and
    # sockets: a cluster forked from the client's process can hang.
    methods = multiprocessing.get_all_start_methods()
    method = "forkserver" if "forkserver" in methods else "spawn"
    # Dask asks glibc to return freed memory to the system at once; a row
    # allocates and frees arrays of the data's length, which then come back
    # as fresh pages to fault in: rows took 20% longer than in local
    # processes.  A sweep's workers hold the data and little else.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    # The workers' sampling profiler takes the interpreter lock a hundred
    # times a second from the thread that computes the rows: rows ran about
    # 8% slower with it.
    settings = {"distributed.worker.multiprocessing-method": method,
                "distributed.nanny.pre-spawn-environ": environ,
                "distributed.worker.profile.enabled": False}
    # The nannies set the workers' variables (one BLAS thread) in this
    # process's environment before starting them; the caller's is put back.
    saved = dict(os.environ)
    try:
        with dask.config.set(settings), _workers_ignore_ctrl_c():
            # No log lines: what goes wrong (a worker lost with the data it
            # held) ends the sweep with one line that says it.  The
            # scheduler's web server runs even without a dashboard:
            # loopback and a free port, so that two sweeps never clash.
            return cluster_class(n_workers=workers, threads_per_worker=1, processes=True,
                                 host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                 silence_logs=logging.CRITICAL)
    finally:
        if dict(os.environ) != saved:
            os.environ.clear()
            os.environ.update(saved)


@contextlib.contextmanager
def _workers_ignore_ctrl_c() -> Iterator[None]:
    """Start processes that ignore SIGINT (they inherit the disposition): a
    Ctrl-C reaches the whole process group, and the workers would each print
    a traceback; this process stops them instead when it closes the cluster.
    Ctrl-C is ignored here too for the second or two the cluster takes to
    start."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


# Tasks per worker thread: Dask's own work for a task (about 2.5 ms of the
# scheduler's time in this process, 1.5 ms idle in the worker) came to 10%
# of a 50-row sweep with one row per task; with 8 tasks a thread it is gone
# (bench/RESULTS.md), and a thread waits at most one short task at the end.
_TASKS_PER_THREAD = 8


def _run(client: Any, job: Job, tasks: Sequence[Task], data: Mapping[str, Any],
         progress: bool, label: str) -> list[Any]:
    from distributed import as_completed

    symbols = list(data)
    # hash=False: random keys, so two sweeps on one scheduler never share data.
    scattered = dict(zip(symbols, client.scatter([data[s] for s in symbols], broadcast=True,
                                                 hash=False)))
    workers = client.nthreads()
    threads = max(1, sum(workers.values()))
    size = -(-len(tasks) // (threads * _TASKS_PER_THREAD))
    chunks = [list(range(start, min(start + size, len(tasks))))
              for start in range(0, len(tasks), size)]
    futures = [client.submit(worker_tasks, job, [tasks[i] for i in chunk], scattered, pure=False)
               for chunk in chunks]
    index = {future.key: chunk for future, chunk in zip(futures, chunks)}
    done: list[Any] = [None] * len(tasks)
    left = set(range(len(tasks)))
    lost = _Lost(client, set(workers), symbols)
    try:
        with progress_bar(len(tasks), progress, label) as bar:
            for future in as_completed(futures):
                chunk = index[future.key]
                try:
                    summaries = _result(future)
                except Exception as exc:
                    crashed = lost.explain(exc, [tasks[i] for i in chunk], len(left))
                    if crashed is None:
                        raise
                    raise crashed from None
                for number, summary in zip(chunk, summaries):
                    done[number] = summary
                    left.discard(number)
                bar.update(len(chunk))
    except BaseException:
        client.cancel(futures + list(scattered.values()))
        raise
    client.cancel(list(scattered.values()))
    return done


class _Lost:
    """A task that did not come back, told in one line: which worker left,
    or which rows killed the workers, and what to do."""

    def __init__(self, client: Any, workers: set[str], symbols: Sequence[str]) -> None:
        self.client, self.workers, self.symbols = client, workers, list(symbols)
        # Each task gives a row per symbol, and one for the portfolio of several.
        self.rows_per_task = len(self.symbols) + (len(self.symbols) > 1)

    def explain(self, exc: Exception, tasks: Sequence[Task], missing: int
                ) -> WorkerCrashed | None:
        from concurrent.futures import CancelledError

        if type(exc).__name__ == "KilledWorker":
            # The scheduler counts the deaths of every worker that held the
            # task, running or queued: the rows are suspects, not culprits.
            last = getattr(getattr(exc, "last_worker", None), "address", "unknown")
            deaths = getattr(exc, "allowed_failures", 0) + 1
            held = _rows(tasks, self.symbols)
            died = (f"the Dask worker {last} died holding {held}" if deaths == 1 else
                    f"Dask workers died {deaths} times holding {held}, the last {last}")
            return WorkerCrashed(
                f"{died}: the strategy code may crash the interpreter or exhaust the memory; "
                "run each row with `quorvane run` to find out")
        if not isinstance(exc, CancelledError):
            return None
        # The scheduler gives up the tasks whose data left with a worker
        # (scattered bars that no other worker held).
        gone = self._gone()
        rows = f"the {missing * self.rows_per_task:,} rows not computed yet are lost"
        if not gone:
            reason = getattr(exc, "reason", None) or "no reason given"
            return WorkerCrashed(f"the Dask cluster cancelled a task of the sweep ({reason}), "
                                 f"and {rows}; run the sweep again")
        if len(gone) == 1:
            who, held, log = f"the Dask worker {gone[0]}", "it held", "its log what stopped it"
        else:
            who, held, log = (f"the Dask workers {', '.join(gone)}", "they held",
                              "their logs what stopped them")
        return WorkerCrashed(
            f"{who} left the cluster during the sweep with the data {held}, and {rows}; see "
            f"in {log} (killed, out of memory, or crashed by the strategy code), make sure "
            "the cluster has workers, and run the sweep again")

    def _gone(self) -> list[str]:
        """The workers of the start that have left the cluster."""
        try:
            return sorted(self.workers - set(self.client.nthreads()))
        except Exception:  # the scheduler is out of reach too
            return sorted(self.workers)


def _rows(tasks: Sequence[Task], symbols: Sequence[str]) -> str:
    _, combination = tasks[0]
    first = ", ".join(f"{key}={value!r}" for key, value in combination.items()) or "()"
    where = symbols[0] if len(symbols) == 1 else f"{len(symbols)} symbols"
    if len(tasks) == 1:
        return f"the row{'' if len(symbols) == 1 else 's'} {first} of {where}"
    return f"{len(tasks)} combinations of {where} (the first: {first})"


def _result(future: Any) -> list[Any]:
    try:
        rows: list[dict[str, object]] = future.result()
        return rows
    except ModuleNotFoundError as exc:
        if (exc.name or "").split(".")[0] == "quorvane":
            raise DaskUnavailable("the Dask workers cannot import quorvane: install the "
                                  "package on every worker") from None
        raise
