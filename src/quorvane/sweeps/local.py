"""The local engine: rows computed in this process (one job) or in a pool of
worker processes.

Each worker receives the job and the data once, through the pool's
initializer, and then only combinations; each task sends back the job's
summary of that combination's runs on every symbol.  Workers ignore Ctrl-C: the parent catches it (or the SIGTERM that
the command line turns into the same interrupt), stops them and lets the
interrupt go on to the caller.  On Linux the workers also die with the
parent, however it ends.
"""

from __future__ import annotations

import concurrent.futures
import os
import signal
from collections.abc import Mapping, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from .errors import WorkerCrashed
from .progress import progress_bar
from .task import Job, Task, one_thread_per_job, run_task

__all__ = ["run_local"]


# The worker's share of the sweep, set once by the initializer.
_job: Job | None = None
_data: Mapping[str, Any] = {}


def _init_worker(job: Job, data: Mapping[str, Any], parent: int) -> None:
    global _job, _data
    # Ctrl-C in a terminal reaches the whole process group; the parent alone
    # decides what happens (it stops the workers).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A handler the parent set (the command turns SIGTERM into an interrupt)
    # is not the worker's: the parent stops a worker with SIGTERM.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _die_with(parent)
    one_thread_per_job()
    _job, _data = job, data


# prctl's request for a signal when the parent process ends (Linux).
_PR_SET_PDEATHSIG = 1


def _die_with(parent: int) -> None:
    """Have the kernel kill this worker when the process that forked it ends,
    however it ends (SIGKILL, a crash, a SIGTERM that a calling program does
    not handle): a worker left behind would go on computing rows that nobody
    reads, for as long as its task lasts."""
    try:
        import ctypes

        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (ImportError, OSError, AttributeError):  # not Linux
        return
    prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:  # it ended before the request took effect
        os._exit(1)


def _work(task: Task) -> Any:
    assert _job is not None
    return run_task(_job, task, _data)


def run_local(job: Job, tasks: Sequence[Task], data: Mapping[str, Any], jobs: int,
              progress: bool, label: str = "sweep") -> list[Any]:
    """The summaries of ``tasks``, in their order, computed by ``jobs``
    processes (in this one when ``jobs`` is 1)."""
    if jobs <= 1 or len(tasks) <= 1:
        from threadpoolctl import threadpool_limits

        done = []
        # One job, one core, as in each worker process.
        with progress_bar(len(tasks), progress, label) as bar, threadpool_limits(1):
            for task in tasks:
                done.append(run_task(job, task, data))
                bar.update()
        return done
    return _run_pool(job, tasks, data, min(jobs, len(tasks)), progress, label)


def _run_pool(job: Job, tasks: Sequence[Task], data: Mapping[str, Any], jobs: int,
              progress: bool, label: str) -> list[Any]:
    rows: list[Any] = [None] * len(tasks)
    pool = concurrent.futures.ProcessPoolExecutor(jobs, mp_context=_context(),
                                                  initializer=_init_worker,
                                                  initargs=(job, data, os.getpid()))
    finished = False
    try:
        # The workers start at the first submission; the progress bar's
        # thread comes after, so that no thread is running when they fork.
        futures = {pool.submit(_work, task): index for index, task in enumerate(tasks)}
        with progress_bar(len(tasks), progress, label) as bar:
            for future in concurrent.futures.as_completed(futures):
                rows[futures[future]] = future.result()
                bar.update()
        finished = True
    except BrokenProcessPool as exc:
        raise WorkerCrashed(
            "a worker process ended abruptly (the strategy code crashed the interpreter "
            "or called os._exit)") from exc
    finally:
        if finished:
            pool.shutdown()
        else:
            _stop(pool)
    return rows


def _context() -> Any:
    """Forked workers where the platform forks: they inherit what the calling
    program registered, and this process is their parent (see _die_with)."""
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("fork" if "fork" in methods else None)


def _stop(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Stop the workers now, their running tasks included."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    # shutdown() forgets the processes: take them first.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        if process.is_alive():
            process.terminate()
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.join(timeout=5)
