"""One row of a sweep: load the strategy with one combination, backtest it on
one symbol's bars, return the statistics as a plain dict.

This is the only code that computes rows, whichever engine runs it (the
calling process, a local worker process, a Dask worker), so the rows are the
same everywhere.  A worker receives the strategy as its specification, never
as an object: strategy classes loaded from files cannot be pickled, and
the loader's functions pickle by name.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from quorvane.messages import one_line

__all__ = ["Job", "run_row", "worker_rows", "prepare", "prepared_here", "register_plugins",
           "one_thread_per_job", "split", "target", "row_error"]


@dataclass(frozen=True)
class Job:
    """What every task of a sweep shares.

    ``spec`` is what ``load_strategy`` receives: a registered name, an
    absolute ``.py`` path, a module path, or (within one process) a class.
    ``keywords`` go to every load (``class_name``, the fixed parameters);
    ``universe`` says whether the symbol of the row is passed as
    ``symbols=[symbol]``, as ``run --symbols SYMBOL`` passes it.
    ``account`` holds the keywords of ``run_strategy`` (costs, fill timing,
    rebalancing, stops, bars per year, the benchmark's closes); a
    combination's stops replace its stops.  ``annualised`` holds each
    symbol's bars per year when ``account`` leaves them to the dates: read
    once, not once per row.
    """

    spec: Any
    keywords: Mapping[str, object] = field(default_factory=dict)
    params: Mapping[str, object] = field(default_factory=dict)
    account: Mapping[str, object] = field(default_factory=dict)
    annualised: Mapping[str, int] = field(default_factory=dict)
    universe: bool = False
    symbols: tuple[str, ...] | None = None


def row_error(exc: BaseException) -> str:
    """The ``error`` of a row whose strategy raised ``exc``."""
    if isinstance(exc, SystemExit):
        # Strategy code that exits must not end a worker, nor pass for a row.
        return f"RuntimeError: the strategy code called sys.exit({exc.code!r})"
    return one_line(exc)


_prepared: set[object] = set()


def prepare(job: Job) -> None:
    """Make the process able to load ``job.spec`` as ``quorvane run`` does:
    plugin strategies registered, a strategy file's folder on ``sys.path``
    (for helper modules beside it).  Once per process and specification."""
    key = job.spec if isinstance(job.spec, str) else id(job.spec)
    if key in _prepared:
        return
    _prepared.add(key)
    # Bytecode beside a user's strategy file would be a surprise, as in `run`.
    sys.dont_write_bytecode = True
    if isinstance(job.spec, str) and job.spec.endswith(".py") and os.path.isabs(job.spec):
        folder = os.path.dirname(job.spec)
        if folder not in sys.path:
            sys.path.insert(0, folder)
    register_plugins()


@contextlib.contextmanager
def prepared_here(job: Job) -> Iterator[None]:
    """:func:`prepare` for the calling program's own process, undone at the
    end: its ``sys.path`` and ``sys.dont_write_bytecode`` stay its own, and
    a later sweep of the same file prepares again.  Worker processes forked
    inside the block keep what they inherit."""
    path, flag, done, found = list(sys.path), sys.dont_write_bytecode, set(_prepared), dict(_targets)
    try:
        prepare(job)
        yield
    finally:
        sys.path[:] = path
        sys.dont_write_bytecode = flag
        _prepared.clear()
        _prepared.update(done)
        _targets.clear()
        _targets.update(found)


_one_thread = False


def one_thread_per_job() -> None:
    """Keep the numeric libraries of a worker process on one thread, for the
    life of the process: the sweep runs one job per core, and a BLAS thread
    pool per job (numpy's dot products) would oversubscribe the cores."""
    global _one_thread
    if not _one_thread:
        _one_thread = True
        from threadpoolctl import threadpool_limits
        threadpool_limits(1)


_registered = False


def register_plugins() -> None:
    """Register the installed plugin strategies, once per process, so that a
    plugin's name loads on a Dask worker as in the ``quorvane`` command."""
    global _registered
    if _registered:
        return
    _registered = True
    from quorvane import plugins

    try:
        plugins.register_entry_points()
    except Exception:  # a broken plugin must not stop the rows of another strategy
        pass


def split(combination: Mapping[str, object]) -> tuple[dict[str, object], dict[str, object]]:
    """A combination as (the strategy's parameters, the account's stops):
    grid keys named like a stop are the account's."""
    from quorvane.backtest.account import STOPS

    strategy = {key: value for key, value in combination.items() if key not in STOPS}
    stops = {key: value for key, value in combination.items() if key in STOPS}
    return strategy, stops


# What load_strategy is given, found once per process and specification: a
# strategy file runs once per worker, not once per row.  A forked worker finds
# its own (a fork does not carry what the file may have started, such as
# threads); a file changed on disk runs again (a Dask worker outlives a sweep).
_targets: dict[tuple[object, ...], tuple[Any, dict[str, object]]] = {}
os.register_at_fork(after_in_child=_targets.clear)


def target(job: Job) -> tuple[Any, dict[str, object]]:
    """:func:`quorvane.sources.load_target` of the job's specification and
    keywords (its class name), once per process."""
    spec, stamp = job.spec, None
    if isinstance(spec, str) and spec.endswith(".py"):
        with contextlib.suppress(OSError):
            stamp = os.stat(spec).st_mtime_ns
    key = (spec, stamp, *job.keywords.items())
    found = _targets.get(key)
    if found is None:
        from quorvane.sources import load_target
        found = _targets[key] = load_target(spec, job.keywords)
    return found


def load(job: Job, combination: Mapping[str, object], symbol: str | None) -> Any:
    """The row's strategy, built from the job's class by ``load_strategy``."""
    from quorvane.strategy_loader import load_strategy

    if job.universe and symbol is not None:
        symbols: list[str] | None = [symbol]
    else:
        symbols = list(job.symbols) if job.symbols is not None else None
    spec, keywords = target(job)
    return load_strategy(spec, symbols, **keywords, **job.params, **combination)


def worker_rows(job: Job, combinations: Sequence[Mapping[str, object]], symbol: str,
                bars: Any) -> list[dict[str, object]]:
    """:func:`run_row` for each combination, as a worker process runs them."""
    one_thread_per_job()
    return [run_row(job, combination, symbol, bars) for combination in combinations]


def run_row(job: Job, combination: Mapping[str, object], symbol: str,
            bars: Any) -> dict[str, object]:
    """The row of ``combination`` on ``symbol``: its parameters, the symbol,
    the statistics of the backtest and ``error`` (None, or the text of what
    went wrong: a constructor that refused the combination, a strategy that
    failed on the data)."""
    from quorvane.backtest import run_strategy

    prepare(job)
    row: dict[str, object] = {**job.params, **combination, "symbol": symbol}
    parameters, stops = split(combination)
    account: dict[str, Any] = {**job.account, **stops}
    if account.get("bars_per_year") is None:
        account["bars_per_year"] = job.annualised.get(symbol)
    try:
        strategy = load(job, parameters, symbol)
        # The sweep read or normalised the bars once, before any row.
        result = run_strategy(strategy, bars, **account, checked=True)
    except KeyboardInterrupt:
        raise  # Ctrl-C or SIGTERM: the sweep stops
    except BaseException as exc:
        # Whatever else the strategy raises is the row's failure: an
        # exception that derives from BaseException alone must not take
        # every other row down with it.
        row["error"] = row_error(exc)
        return row
    row.update(result.stats)
    row["error"] = None
    return row
