"""Parameter sweeps: one backtest per (symbol, combination of parameters).

:func:`sweep` is the Python side of ``quorvane sweep``::

    import quorvane
    table = quorvane.sweep("sma_momentum", {"ma_period": "5:100:5"}, "prices/")

Every row comes from the same code as ``quorvane run`` (load the strategy
with the row's parameters, then :func:`quorvane.backtest.run_strategy`), so a
row equals a single run with the same parameters, whichever engine computed
it: this process, local worker processes, or a Dask cluster.
"""

from __future__ import annotations

import os
import pickle
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quorvane.messages import one_line

from .errors import DaskUnavailable, SweepError, WorkerCrashed
from .grid import GridError, check_name, combinations, normalise
from .task import (PORTFOLIO, Job, Task, load, prepare, prepared_here, register_plugins,
                   row_error, split, target)

if TYPE_CHECKING:
    import pandas

__all__ = ["sweep", "default_jobs", "make_plan", "run_plan", "overfitting_figures",
           "lookahead_findings", "union_dates", "Plan", "PORTFOLIO", "SweepError", "GridError", "WorkerCrashed",
           "DaskUnavailable"]

# Row columns the sweep itself writes; a parameter may not take their names.
_OWN_COLUMNS = ("symbol", "error", "ranked")


def default_jobs() -> int:
    """The number of local worker processes a sweep starts by default.

    Returns:
        The number of cores this process may run on, at least 1.
    """
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def sweep(spec: Any, grid: Mapping[str, Any], data: Any = None, *,
          symbols: Sequence[str] | None = None, params: Mapping[str, object] | None = None,
          class_name: str | None = None, commission: float = 0.0, slippage: float = 0.0,
          fill: str = "close", rebalance: int = 0, stop_loss: float | None = None,
          take_profit: float | None = None, trailing_stop: float | None = None,
          bars_per_year: int | None = None, benchmark: Any = None,
          jobs: int | None = None, dask: Any = None, sort: str = "sharpe",
          ascending: bool = False, progress: bool | None = None,
          strategy_paths: Sequence[str | os.PathLike[str]] = (), pbo_blocks: int = 16,
          min_trades: int = 0, lookahead_check: bool = True) -> pandas.DataFrame:
    """Backtest ``spec`` for every combination of ``grid`` on every symbol of
    ``data``: one row per (symbol, combination), sorted by ``sort``; with
    several symbols, one more row per combination for their equal-weight
    portfolio (``symbol`` ``"portfolio"``: ``quorvane run`` on the whole
    data), so that one combination can be chosen for the basket.

    Args:
        spec: What ``load_strategy`` accepts by name: a registered name, a
            ``.py`` file (sent to workers as an absolute path), a module path
            ``package.module.Class``, a strategy folder's name, or a strategy
            class (in this process, or where it pickles by reference).
        grid: ``{parameter: values}``; the values are a sequence, or a text
            as ``--grid`` reads it (``"5:100:5"``, ``"0.5,1.0"``).  The keys
            ``stop_loss``, ``take_profit`` and ``trailing_stop`` vary the
            account's stops (None: none) instead of a strategy parameter.
        data: A file or folder for :func:`quorvane.data.load_data`, None for
            the shipped sample, a DataFrame of bars, or ``{symbol: DataFrame}``.
        symbols: The symbols of the data to sweep (default: all).
        params: Keyword arguments for every row.
        class_name: The class to take from a file holding several.
        commission: Basis points of the value traded, paid on every fill.
        slippage: Basis points of the value traded, paid on every fill.
        fill: ``"close"`` or ``"next-open"``, for every row.
        rebalance: Re-size every that many dates (0: never).
        stop_loss: A stop for every row, as
            :func:`quorvane.backtest.backtest` takes it; or vary it in the
            grid.
        take_profit: Likewise.
        trailing_stop: Likewise.
        bars_per_year: Overrides the number inferred from each symbol's dates.
        benchmark: What beta, alpha and correlation are measured against
            (closes, bars, or a bars file), instead of buying and holding.
        jobs: Local worker processes (default: the cores available; 1
            computes in this process); with ``dask="local"``, the number of
            Dask workers.
        dask: None for local processes; ``"local"`` for a Dask cluster on
            this machine for the call; a scheduler address
            (``"tcp://host:8786"``); or a connected ``distributed.Client``,
            which stays open.
        sort: The column to sort by: a statistic, a parameter or ``symbol``.
        ascending: Smallest first instead of largest first.  Either way
            failed rows come last, and ties keep the grid's order.
        progress: A progress bar on standard error; None shows it when
            standard error is a terminal.
        strategy_paths: Strategy folders, as ``--strategy-path``.
        pbo_blocks: The number of blocks (even, at least 2) of the
            probability of backtest overfitting.
        min_trades: Rows with fewer trades stay in the table but out of the
            ranking (after the ranked rows) and out of the overfitting
            figures; the table then has a column ``ranked``.
        lookahead_check: Check the first combination on each symbol for
            look-ahead (:func:`quorvane.lookahead.find_lookahead`).

    Returns:
        A DataFrame with the parameters (the grid's, then ``params``),
        ``symbol``, every statistic of ``quorvane run --json``, and
        ``error``: None, or the text of the exception for a combination the
        strategy refused or could not run (any exception but
        ``KeyboardInterrupt``, which stops the sweep).  Its ``attrs`` hold
        the ``grid``'s parameters and the ``sort`` column, which
        :func:`quorvane.plots.plot_sweep` draws by default; ``"overfitting"``:
        ``{symbol: {"trials", "deflated_sharpe", "pbo"}}`` for each symbol
        and the portfolio (``docs/judging.rst``); and with the check
        ``"lookahead"``: ``{symbol: Lookahead or None}``.

    Raises:
        SweepError: Before any work, when the strategy cannot be loaded with
            any combination, or an option or the data is wrong.
        WorkerCrashed: When a worker process dies (the strategy code crashed
            the interpreter), or a Dask worker leaves the cluster with data
            no other worker holds.
        DaskUnavailable: When Dask is not installed or the scheduler cannot
            be reached.
    """
    plan = make_plan(spec, grid, data, symbols=symbols, params=params, class_name=class_name,
                     account=dict(commission=commission, slippage=slippage, fill=fill,
                                  rebalance=rebalance, stop_loss=stop_loss,
                                  take_profit=take_profit, trailing_stop=trailing_stop,
                                  bars_per_year=bars_per_year, benchmark=benchmark),
                     jobs=jobs, dask=dask, progress=progress, strategy_paths=strategy_paths,
                     blocks=pbo_blocks, lookahead=lookahead_check, min_trades=min_trades)
    _check_sort(sort, plan.columns)
    summaries = run_plan(plan, plan.job, list(enumerate(plan.combinations)))
    names = [*plan.frames, *([PORTFOLIO] if len(plan.frames) > 1 else [])]
    # Symbol by symbol, each in grid order: the order ties keep.
    rows = [summary["rows"][i] for i in range(len(names)) for summary in summaries]
    sums = [summary["sums"][i] for i in range(len(names)) for summary in summaries]
    ranked = [row["error"] is None and not (isinstance(row.get("trades"), int)
                                            and row["trades"] < plan.min_trades) for row in rows]
    table = _table(rows, plan.columns, sort, ascending, ranked if plan.min_trades else None)
    # What quorvane.plots.plot_sweep draws by default.
    table.attrs.update(grid=list(plan.combinations[0]), sort=sort)
    table.attrs["overfitting"] = overfitting_figures(
        [row["symbol"] for row in rows], sums, ranked, plan.job.blocks)
    if lookahead_check:
        table.attrs["lookahead"] = lookahead_findings(summaries[0]["lookahead"]) \
            if summaries else {}
    return table


@dataclass(frozen=True)
class Plan:
    """A sweep ready to run: the job every task shares, the bars, the
    combinations in grid order, the table's parameter columns, the engine
    (``workers`` local processes or Dask workers, ``dask``) and the fewest
    trades a row needs to be ranked."""

    job: Job
    frames: dict[str, Any]
    combinations: list[dict[str, object]]
    columns: list[str]
    workers: int
    dask: Any
    progress: bool
    min_trades: int = 0


def make_plan(spec: Any, grid: Mapping[str, Any], data: Any, *, symbols: Sequence[str] | None,
              params: Mapping[str, object] | None, class_name: str | None,
              account: Mapping[str, Any], jobs: int | None, dask: Any, progress: bool | None,
              strategy_paths: Sequence[str | os.PathLike[str]], blocks: int = 16,
              lookahead: bool = False, min_trades: int = 0) -> Plan:
    """Check everything a sweep (or a walk-forward) is given and read the
    data, before any work.

    Args:
        spec: The strategy, as :func:`sweep` takes it.
        grid: ``{parameter: values}``, as :func:`sweep` takes it.
        data: The bars, as :func:`sweep` takes them.
        symbols: The symbols of the data to use.
        params: Keyword arguments for every run.
        class_name: The class to take from a file holding several.
        account: The account's keywords of :func:`sweep` (costs, fill,
            rebalance, stops, bars per year, benchmark).
        jobs: Local worker processes, or the workers of ``dask="local"``.
        dask: The Dask engine, as :func:`sweep` takes it.
        progress: A progress bar on standard error (None: on a terminal).
        strategy_paths: Strategy folders.
        blocks: The blocks of the per-block sums of each run.
        lookahead: Check the first combination for look-ahead.
        min_trades: The fewest trades of a ranked row.

    Returns:
        The :class:`Plan`, ready for :func:`run_plan`.

    Raises:
        SweepError: What is wrong, in one line.
    """
    from .progress import wanted

    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise SweepError(f"jobs must be a positive whole number, got {jobs!r}")
    if jobs is not None and dask is not None and not (isinstance(dask, str) and dask == "local"):
        raise SweepError("jobs sets the local processes or the workers of dask='local'; a "
                         "running cluster has the workers it has")
    _check_blocks(blocks)
    least = _check_min_trades(min_trades)
    if isinstance(dask, str) and dask == "local":
        from .dask import start_fork_server
        start_fork_server()
    grid_values = _checked_grid(grid, params)
    terms = _account(grid_values, **account)
    fixed = dict(params or {})
    columns = list(grid_values) + [k for k in fixed if k not in grid_values]
    job_spec, keywords = _portable_spec(spec, strategy_paths)
    if class_name is not None:
        keywords["class_name"] = class_name
    frames, universe = _frames(data, symbols)
    annualised: dict[str, int] = {}
    together = None
    if terms["bars_per_year"] is None:
        from quorvane.data.calendar import infer_bars_per_year
        annualised = {symbol: infer_bars_per_year(bars.index)[0] for symbol, bars in frames.items()}
        if len(frames) > 1:
            together = infer_bars_per_year(union_dates(frames))[0]
    job = Job(spec=job_spec, keywords=keywords, params=fixed, account=terms,
              annualised=annualised, universe=universe,
              symbols=tuple(symbols) if symbols is not None else None,
              portfolio_bars_per_year=together, blocks=blocks, lookahead=lookahead)
    return Plan(job, frames, combinations(grid_values), columns, jobs or default_jobs(), dask,
                wanted(progress), least)


def run_plan(plan: Plan, job: Job, tasks: Sequence[Task], label: str = "sweep") -> list[Any]:
    """Run tasks on the plan's engine, once the strategy is checked to load.

    Args:
        plan: The plan of :func:`make_plan`.
        job: The plan's job, or a copy of it with another ``summary``.
        tasks: ``(number, combination)`` pairs.
        label: The progress bar's label.

    Returns:
        The job's summary of each task, in the order of ``tasks``.
    """
    with prepared_here(job):
        _preflight(job, plan.combinations, next(iter(plan.frames)))
        if plan.dask is not None:
            _check_picklable(job)
            from .dask import run_dask
            return run_dask(job, tasks, plan.frames, plan.dask, plan.workers, plan.progress,
                            label)
        from .local import run_local
        return run_local(job, tasks, plan.frames, plan.workers, plan.progress, label)


def overfitting_figures(symbols: Sequence[str], sums: Sequence[Any], ranked: Sequence[bool],
                        blocks: int) -> dict[str, dict[str, object]]:
    """The overfitting figures of each symbol's rows.

    Args:
        symbols: Each row's symbol.
        sums: Each row's per-block sums, None for a failed row; each
            symbol's rows in grid order.
        ranked: Whether each row counts (figures, and enough trades).
        blocks: The number of blocks of the sums.

    Returns:
        ``{symbol: {"trials", "deflated_sharpe", "pbo"}}``, None for a
        figure that is undefined.
    """
    import numpy as np

    from quorvane.overfitting import deflated_sharpe, pbo

    by_symbol: dict[str, list[Any]] = {}
    for symbol, row_sums, counted in zip(symbols, sums, ranked):
        trials = by_symbol.setdefault(symbol, [])
        if counted and row_sums is not None:
            trials.append(row_sums)
    figures: dict[str, dict[str, object]] = {}
    for symbol, trials in by_symbol.items():
        stack = np.stack(trials) if trials else np.zeros((0, blocks + 1, 5))
        figures[symbol] = {"trials": len(trials),
                           "deflated_sharpe": deflated_sharpe(stack) if trials else None,
                           "pbo": pbo(stack) if trials else None}
    return figures


def lookahead_findings(found: Mapping[str, tuple[Any, list[str]]]) -> dict[str, Any]:
    """The look-ahead findings a worker sent; the check's warnings (cuts the
    strategy refused) are warned again in this process.

    Args:
        found: ``{symbol: (finding, warnings as text)}`` of the task that
            checked the first combination.

    Returns:
        ``{symbol: Lookahead or None}``.
    """
    import warnings

    from quorvane.lookahead import LookaheadWarning

    for symbol, (_, texts) in found.items():
        for text in texts:
            warnings.warn(f"{symbol}: {text}", LookaheadWarning, stacklevel=3)
    return {symbol: finding for symbol, (finding, _) in found.items()}


def union_dates(frames: Mapping[str, Any]) -> Any:
    """The dates of several symbols' portfolio.

    Args:
        frames: ``{symbol: bars}``.

    Returns:
        The union of the symbols' dates, rising.
    """
    indexes = [bars.index for bars in frames.values()]
    return indexes[0].append(indexes[1:]).unique().sort_values()


def _check_blocks(blocks: object) -> None:
    if isinstance(blocks, bool) or not isinstance(blocks, int) or blocks < 2 or blocks % 2:
        raise SweepError(f"pbo_blocks must be an even whole number of at least 2, "
                         f"got {blocks!r}")


def _check_min_trades(min_trades: object) -> int:
    if isinstance(min_trades, bool) or not isinstance(min_trades, int) or min_trades < 0:
        raise SweepError(f"min_trades must be a whole number >= 0, got {min_trades!r}")
    return min_trades


# -- checking what the sweep is given -------------------------------------------------

def _checked_grid(grid: Mapping[str, Any], params: Mapping[str, object] | None
                  ) -> dict[str, list[object]]:
    if not isinstance(grid, Mapping):
        raise SweepError(f"grid must be a mapping of parameter names to values, "
                         f"not {type(grid).__name__}")
    try:
        values = normalise(grid)
        for key in params or {}:
            check_name(key, "param")
    except GridError as exc:
        raise SweepError(str(exc)) from None
    for key in list(values) + list(params or {}):
        if key in _OWN_COLUMNS:
            raise SweepError(f"a parameter cannot be named {key!r}: the table has a column "
                             "of that name")
    both = [key for key in values if key in (params or {})]
    if both:
        raise SweepError(f"{both[0]} is both in the grid and a fixed parameter")
    return values


def _account(grid: Mapping[str, list[object]], **keywords: Any) -> dict[str, object]:
    """The rows' account keywords, checked before any work, the benchmark
    read once; the stops the grid varies, checked value by value."""
    from quorvane.backtest import AccountOptions, benchmark_closes
    from quorvane.backtest.account import STOPS, check_stop

    try:
        options = AccountOptions(*(keywords[name] for name in (
            "commission", "slippage", "fill", "rebalance", *STOPS)))
        bars_per_year = keywords["bars_per_year"]
        if bars_per_year is not None and (isinstance(bars_per_year, bool) or not isinstance(
                bars_per_year, int) or bars_per_year < 1):
            raise ValueError(f"bars_per_year must be a whole number >= 1, got {bars_per_year!r}")
        for name in STOPS:
            if name in grid and getattr(options, name) is not None:
                raise ValueError(f"{name} is both in the grid and a fixed option")
            for value in grid.get(name, []):
                check_stop(name, value)
        closes = benchmark_closes(keywords["benchmark"])
    except (ValueError, TypeError, OSError) as exc:
        raise SweepError(str(exc)) from None
    return {**options.as_dict(), "bars_per_year": bars_per_year, "benchmark": closes}


def _stat_names() -> list[str]:
    from quorvane.stats import DESCRIPTIONS

    return list(DESCRIPTIONS)


def _check_sort(sort: str, param_columns: list[str]) -> None:
    choices = [*_stat_names(), *param_columns, "symbol"]
    if sort not in choices:
        raise SweepError(f"cannot sort by {sort!r}: choose a statistic ("
                         f"{', '.join(_stat_names())}), a parameter or symbol")
    clash = [key for key in param_columns if key in _stat_names()]
    if clash:
        raise SweepError(f"a parameter cannot be named {clash[0]!r}: the table has a "
                         "statistic of that name")


def _portable_spec(spec: Any, strategy_paths: Sequence[str | os.PathLike[str]]
                   ) -> tuple[Any, dict[str, object]]:
    """``spec`` as every worker can load it, with the keywords that go with
    it: a strategy folder's file, or a ``.py`` path, made absolute."""
    if isinstance(spec, str):
        from quorvane.sources import StrategySourceError, resolve

        register_plugins()
        try:
            resolved, keywords = resolve(spec, strategy_paths)
        except StrategySourceError as exc:
            raise SweepError(str(exc)) from None
        return resolved, dict(keywords)
    if isinstance(spec, type):
        return spec, {}
    raise SweepError(f"a sweep needs a strategy's name, file, module path or class, not "
                     f"{type(spec).__name__}: an instance cannot take the grid's parameters")


def _frames(data: Any, symbols: Sequence[str] | None) -> tuple[dict[str, Any], bool]:
    """The bars to sweep as ``{symbol: DataFrame}``, and whether they form a
    universe (each row's strategy then receives its symbol)."""
    from quorvane.data import load_data

    if symbols is not None and (isinstance(symbols, str) or not all(
            isinstance(s, str) and s for s in symbols)):
        raise SweepError(f"symbols must be a list of ticker symbols, got {symbols!r}")
    try:
        frames = load_data(data, symbols)
    except (OSError, ValueError, TypeError) as exc:
        raise SweepError(str(exc)) from exc
    if data is None or isinstance(data, (str, os.PathLike)):
        universe = data is not None and os.path.isdir(data) or len(frames) > 1
    else:
        universe = isinstance(data, Mapping)
    if len(frames) > 1 and PORTFOLIO in frames:
        raise SweepError(f"the data has a symbol named {PORTFOLIO!r}, the name of the rows of "
                         "the equal-weight portfolio of several symbols; rename it")
    return dict(frames), universe


def _preflight(job: Job, combos: list[dict[str, object]], symbol: str) -> None:
    """Stop before any work when the strategy cannot be loaded at all.

    A combination its constructor refuses is a row with the error, not a
    reason to stop; so the combinations are tried in order until one loads,
    and only when none does is the first failure the sweep's error.  A class
    that cannot be had stops the sweep whatever the combination.
    """
    from quorvane.sources import StrategySourceError

    prepare(job)
    name = job.spec if isinstance(job.spec, str) else getattr(job.spec, "__qualname__", job.spec)
    try:
        target(job)
    except StrategySourceError as exc:
        raise SweepError(str(exc)) from exc
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # a sys.exit at import must not end the caller
        raise SweepError(f"cannot load the strategy {name}: {row_error(exc)}") from exc
    first: BaseException | None = None
    for combo in combos:
        try:
            load(job, split(combo)[0], symbol)
            return
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # as run_row takes it
            first = first or exc
    assert first is not None
    raise SweepError(f"cannot load the strategy {name} with any combination of the grid: "
                     f"{row_error(first)}") from first


def _check_picklable(job: Job) -> None:
    try:
        pickle.loads(pickle.dumps(job))
    except Exception as exc:
        raise SweepError(
            f"the strategy cannot be sent to Dask workers ({one_line(exc)}); name it by its "
            "file, module path or registered name instead") from None


# -- the table ----------------------------------------------------------------------

def _table(rows: list[dict[str, object]], param_columns: list[str], sort: str,
           ascending: bool, ranked: list[bool] | None = None) -> pandas.DataFrame:
    import pandas as pd

    stats = _stat_names()
    columns = param_columns + ["symbol"] + stats + ["error"]
    frame = pd.DataFrame.from_records(rows, columns=columns)
    for name in stats:
        values = [row[name] for row in rows if row.get(name) is not None]
        if values and all(isinstance(v, int) and not isinstance(v, bool) for v in values):
            # Whole-number statistics stay whole numbers beside failed rows.
            frame[name] = frame[name].astype("Int64")
        else:
            # An undefined statistic (None) is NaN, as for a failed row.
            frame[name] = pd.to_numeric(frame[name], errors="coerce").astype("float64")
    frame["error"] = frame["error"].astype(object).where(frame["error"].notna(), None)
    if ranked is not None:
        frame.insert(len(frame.columns) - 1, "ranked", ranked)
    try:
        frame = frame.sort_values(sort, ascending=ascending, kind="stable", na_position="last")
    except TypeError:  # a parameter whose values do not compare (numbers and texts)
        frame = frame.sort_values(sort, ascending=ascending, kind="stable", na_position="last",
                                  key=lambda column: column.map(repr))
    if ranked is not None:
        # The ranking holds the ranked rows; the others follow, in the same order.
        frame = frame.sort_values("ranked", ascending=False, kind="stable")
    return frame.reset_index(drop=True)
