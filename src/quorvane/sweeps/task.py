"""One task of a sweep: load the strategy with one combination, backtest it
on every symbol's bars (and, with several symbols, as one portfolio), and
return what the caller needs of those runs as plain data.

This is the only code that computes runs, whichever engine runs it (the
calling process, a local worker process, a Dask worker), so the rows are the
same everywhere.  A worker receives the strategy as its specification, never
as an object: strategy classes loaded from files cannot be pickled, and
the loader's functions pickle by name.  What a task returns is the job's
``summary`` of its :class:`Runs`: a sweep's rows with their per-block sums
(:func:`sweep_summary`), or a walk-forward's scores; never the runs' per-bar
arrays unless the summary asks for them.
"""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from quorvane.messages import one_line

__all__ = ["Job", "Runs", "Task", "PORTFOLIO", "run_combination", "run_task", "worker_tasks",
           "sweep_summary", "prepare", "prepared_here", "register_plugins", "one_thread_per_job",
           "split", "target", "row_error"]

# The ``symbol`` of the rows of the equal-weight portfolio of several symbols.
PORTFOLIO = "portfolio"

# A task: a combination's number in grid order, and the combination.
Task = tuple[int, Mapping[str, object]]


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
    once, not once per row; ``portfolio_bars_per_year`` the same for the
    union of the dates of several symbols.

    ``blocks`` is the number of blocks of the per-block sums of each row's
    returns (:func:`quorvane.overfitting.block_sums`); ``lookahead`` asks
    for the look-ahead check of the first combination on each symbol.
    ``summary`` turns a task's :class:`Runs` into what it returns (a
    module-level function, so that it pickles by name), with ``options``
    as its own parameters.
    """

    spec: Any
    keywords: Mapping[str, object] = field(default_factory=dict)
    params: Mapping[str, object] = field(default_factory=dict)
    account: Mapping[str, object] = field(default_factory=dict)
    annualised: Mapping[str, int] = field(default_factory=dict)
    universe: bool = False
    symbols: tuple[str, ...] | None = None
    portfolio_bars_per_year: int | None = None
    blocks: int = 16
    lookahead: bool = False
    summary: Callable[[Job, Runs], Any] | None = None
    options: Mapping[str, Any] = field(default_factory=dict)


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


# What load_strategy is given, found once per process and strategy argument: a
# strategy file runs once per worker, not once per row.  A forked worker finds
# its own (a fork does not carry what the file may have started, such as
# threads); a file changed on disk runs again (a Dask worker outlives a sweep).
_targets: dict[tuple[object, ...], tuple[Any, dict[str, object]]] = {}
os.register_at_fork(after_in_child=_targets.clear)


def target(job: Job) -> tuple[Any, dict[str, object]]:
    """:func:`quorvane.sources.load_target` of the job's strategy argument and
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


@dataclass
class Runs:
    """One combination's backtests in a worker.

    ``results`` holds each symbol's run (``run --symbols SYMBOL`` with the
    combination), or the text of its error; ``portfolio`` the run of all
    the symbols as one account (``run`` on the whole data), its error, or
    None with one symbol.  ``lookahead`` holds, for the first combination
    when the job asks for it, each symbol's finding (None: it passed) and
    the warnings of the check.
    """

    index: int
    combination: Mapping[str, object]
    results: dict[str, Any]
    portfolio: Any = None
    lookahead: dict[str, tuple[Any, list[str]]] = field(default_factory=dict)


def run_task(job: Job, task: Task, frames: Mapping[str, Any]) -> Any:
    """The job's summary of one task's runs."""
    index, combination = task
    runs = run_combination(job, index, combination, frames)
    return (job.summary or sweep_summary)(job, runs)


def worker_tasks(job: Job, tasks: Sequence[Task], frames: Mapping[str, Any]) -> list[Any]:
    """:func:`run_task` for each task, as a worker process runs them."""
    one_thread_per_job()
    return [run_task(job, task, frames) for task in tasks]


def run_combination(job: Job, index: int, combination: Mapping[str, object],
                    frames: Mapping[str, Any]) -> Runs:
    """Backtest ``combination`` on every symbol of ``frames`` and, with
    several, as one portfolio.

    A strategy that receives no symbols (one not derived from
    :class:`quorvane.strategy.Strategy`) is the same object for every
    symbol and for the portfolio, so each symbol's positions are computed
    once and serve both its row and the portfolio's; one that receives them
    is loaded for each symbol with ``[SYMBOL]`` and for the portfolio with
    the job's symbols, as ``run`` loads it.
    """
    from quorvane.backtest import run_strategy

    prepare(job)
    parameters, stops = split(combination)
    account = {**job.account, **stops}
    results: dict[str, Any] = {}
    strategies: dict[str, Any] = {}
    shared = None
    for symbol, bars in frames.items():
        try:
            strategy = shared if shared is not None else load(job, parameters, symbol)
            if not _receives_symbols(strategy):
                shared = strategy
            strategies[symbol] = strategy
            results[symbol] = run_strategy(strategy, bars, **_annualised(job, account, symbol),
                                           checked=True)
        except KeyboardInterrupt:
            raise  # Ctrl-C or SIGTERM: the sweep stops
        except BaseException as exc:
            # Whatever else the strategy raises is the row's failure: an
            # exception that derives from BaseException alone must not take
            # every other row down with it.
            results[symbol] = row_error(exc)
    runs = Runs(index, combination, results)
    if len(frames) > 1:
        runs.portfolio = _portfolio(job, parameters, account, frames, results, shared is not None)
    if job.lookahead and index == 0:
        runs.lookahead = {symbol: _lookahead(strategies[symbol], frames[symbol], result)
                          for symbol, result in results.items() if not isinstance(result, str)}
    return runs


def _receives_symbols(strategy: object) -> bool:
    from quorvane.strategy import Strategy

    return isinstance(strategy, Strategy)


def _annualised(job: Job, account: Mapping[str, Any], symbol: str) -> dict[str, Any]:
    if account.get("bars_per_year") is None:
        return {**account, "bars_per_year": job.annualised.get(symbol)}
    return dict(account)


def _portfolio(job: Job, parameters: Mapping[str, object], account: Mapping[str, object],
               frames: Mapping[str, Any], results: Mapping[str, Any], shared: bool) -> Any:
    """The portfolio's run, or the text of the first error that stops it."""
    from quorvane.backtest import portfolio, run_strategy

    failed = next((result for result in results.values() if isinstance(result, str)), None)
    if failed is not None and shared:
        return failed  # the same strategy, the same positions: the same failure
    try:
        if shared:
            runs = dict(results)
        else:
            strategy = load(job, parameters, None)
            runs = {symbol: run_strategy(strategy, bars, **_annualised(job, account, symbol),
                                         checked=True) for symbol, bars in frames.items()}
        bars_per_year = account.get("bars_per_year") or job.portfolio_bars_per_year
        return portfolio(runs, bars_per_year=bars_per_year)  # type: ignore[arg-type]
    except KeyboardInterrupt:
        raise
    except BaseException as exc:
        return row_error(exc)


def _lookahead(strategy: Any, bars: Any, result: Any) -> tuple[Any, list[str]]:
    """The look-ahead check of one symbol's run, and its warnings as text."""
    from quorvane.lookahead import find_lookahead

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            found = find_lookahead(strategy.generate_signals, bars, result.positions.to_numpy())
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # one that is not an Exception
            return None, [f"look-ahead check: not done: {row_error(exc)}"]
    return found, [str(item.message) for item in caught]


def sweep_summary(job: Job, runs: Runs) -> dict[str, Any]:
    """A sweep's share of one task: its rows (each symbol's, then the
    portfolio's) as plain dicts, the per-block sums of each row's per-bar
    returns (None for a failed row) and the look-ahead findings."""
    from quorvane.overfitting import curve_block_sums

    rows: list[dict[str, object]] = []
    sums: list[Any] = []
    runs_by_symbol = dict(runs.results)
    if runs.portfolio is not None:
        runs_by_symbol[PORTFOLIO] = runs.portfolio
    for symbol, result in runs_by_symbol.items():
        row: dict[str, object] = {**job.params, **runs.combination, "symbol": symbol}
        if isinstance(result, str):
            row["error"] = result
            sums.append(None)
        else:
            row.update(result.stats)
            row["error"] = None
            sums.append(curve_block_sums(result.equity.to_numpy(), job.blocks))
        rows.append(row)
    return {"rows": rows, "sums": sums, "lookahead": runs.lookahead}
