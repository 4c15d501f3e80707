"""A walk-forward run on the sweep's engines: :func:`walk_forward`.

Every combination is backtested once over all the bars, on local processes
or a Dask cluster, by the sweep's own task (:mod:`quorvane.sweeps.task`): each
symbol's run and, with several symbols, the portfolio's, whose per-bar
returns the choice and the stitching then use.  A worker sends back only
what the choice needs: each fold's train score, the chosen run's cagr over
each train window, its score over all the bars and the per-block sums of
its returns (for the overfitting figures of the whole sample's sweep).

The runs the folds choose (and the full-sample winner, drawn beside the
result) run once more, and only they send their per-bar returns over the
test windows, their held weights at the switching closes and the closes at
which they held units.  Sending every run's returns instead would move 8 MB
per run and million bars through the engine; running again the few chosen
ones costs less.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from quorvane.sweeps import (PORTFOLIO, SweepError, lookahead_findings, make_plan,
                             overfitting_figures, run_plan, union_dates)
from quorvane.sweeps.task import Job, Runs

from .result import WalkForward
from .scores import SELECT, choose, fold_scores, window_scores
from .stitch import stitch
from .windows import Fold, boundary_closes, make_folds, parse_length

__all__ = ["walk_forward"]


def walk_forward(spec: Any, grid: Mapping[str, Any], data: Any = None, *, train: object,
                 test: object, anchored: bool = False, select: str = "sharpe",
                 symbols: Sequence[str] | None = None,
                 params: Mapping[str, object] | None = None, class_name: str | None = None,
                 commission: float = 0.0, slippage: float = 0.0, fill: str = "close",
                 rebalance: int = 0, stop_loss: float | None = None,
                 take_profit: float | None = None, trailing_stop: float | None = None,
                 bars_per_year: int | None = None, benchmark: Any = None,
                 jobs: int | None = None, dask: Any = None, progress: bool | None = None,
                 strategy_paths: Sequence[str | os.PathLike[str]] = (), pbo_blocks: int = 16,
                 min_trades: int = 0, lookahead_check: bool = True) -> WalkForward:
    """Choose a combination of ``grid`` on each train window and judge it on
    the test window that follows; stitch the test windows into one
    out-of-sample result.  The rules are written in ``docs/judging.rst``.

    Args:
        spec: The strategy, as :func:`quorvane.sweep` takes it.
        grid: ``{parameter: values}``, as :func:`quorvane.sweep` takes it.
        data: The bars, as :func:`quorvane.sweep` takes them.  With several
            symbols, choice and stitching use their portfolio's returns.
        train: The train length: a number of bars (``500``) or a calendar
            length (``"90d"``, ``"12w"``, ``"6m"``, ``"2y"``).
        test: The test length, likewise.
        anchored: Every train window starts at the first bar.
        select: The score a fold chooses on: ``sharpe``, ``sortino``,
            ``total_return`` or ``cagr``, over the train window's returns.
        symbols: The symbols of the data to use (default: all).
        params: Keyword arguments for every run.
        class_name: The class to take from a file holding several.
        commission: Basis points of the value traded, on every fill and on
            every switch between runs.
        slippage: Likewise.
        fill: ``"close"`` or ``"next-open"``.
        rebalance: Re-size every that many dates (0: never).
        stop_loss: A stop for every run, or vary it in the grid.
        take_profit: Likewise.
        trailing_stop: Likewise.
        bars_per_year: Overrides the number inferred from the dates.
        benchmark: What beta, alpha and correlation of the runs are
            measured against.
        jobs: Local worker processes, or the workers of ``dask="local"``.
        dask: None, ``"local"``, a scheduler address or a ``Client``.
        progress: A progress bar on standard error (None: on a terminal).
        strategy_paths: Strategy folders, as ``--strategy-path``.
        pbo_blocks: The blocks of the probability of backtest overfitting.
        min_trades: Runs with fewer trades are never chosen and stay out of
            the overfitting figures.
        lookahead_check: Check the first combination on each symbol for
            look-ahead.

    Returns:
        The :class:`~quorvane.walkforward.result.WalkForward` result.

    Raises:
        SweepError: Before any work: an option, the windows or the data are
            wrong, or the strategy cannot be loaded.
    """
    if select not in SELECT:
        raise SweepError(f"cannot select on {select!r}; choose one of {', '.join(SELECT)}")
    try:
        train_length = parse_length(train, "train")
        test_length = parse_length(test, "test")
    except ValueError as exc:
        raise SweepError(str(exc)) from None
    plan = make_plan(spec, grid, data, symbols=symbols, params=params, class_name=class_name,
                     account=dict(commission=commission, slippage=slippage, fill=fill,
                                  rebalance=rebalance, stop_loss=stop_loss,
                                  take_profit=take_profit, trailing_stop=trailing_stop,
                                  bars_per_year=bars_per_year, benchmark=benchmark),
                     jobs=jobs, dask=dask, progress=progress, strategy_paths=strategy_paths,
                     blocks=pbo_blocks, lookahead=lookahead_check, min_trades=min_trades)
    dates = next(iter(plan.frames.values())).index if len(plan.frames) == 1 \
        else union_dates(plan.frames)
    try:
        folds = make_folds(dates, train_length, test_length, anchored=anchored)
    except ValueError as exc:
        raise SweepError(str(exc)) from None
    options = {"folds": folds, "select": select, "min_trades": plan.min_trades}
    scoring = dataclasses.replace(plan.job, summary=score_summary, options=options)
    scored = run_plan(plan, scoring, list(enumerate(plan.combinations)), "walk-forward")
    usable = [item for item in scored if item["error"] is None]
    if not usable:
        first = next(item["error"] for item in scored)
        raise SweepError(f"no combination could be backtested; the first: {first}")
    rate = (float(commission) + float(slippage)) / 10_000.0  # checked by make_plan
    year = usable[0]["bars_per_year"]
    table = np.array([item["scores"] for item in scored])  # runs x folds
    chosen = [int(run) for run in choose(table.T)]
    full = np.array([item["full"] for item in scored])
    winner = int(choose(full.reshape(1, -1))[0])
    wanted = sorted({*chosen, winner})
    curving = dataclasses.replace(plan.job, summary=curve_summary, lookahead=False,
                                  options={"folds": folds})
    curves = dict(zip(wanted, run_plan(plan, curving, [(i, plan.combinations[i]) for i in wanted],
                                       "walk-forward, chosen runs")))
    start = folds[0].test_start
    cagr_in = np.array([scored[run]["cagr"][j] for j, run in enumerate(chosen)])
    stitched = stitch(folds, chosen, {run: curves[run]["returns"] for run in wanted},
                      {run: curves[run]["weights"] for run in wanted}, rate, year,
                      offset=start, in_sample_cagr=cagr_in)
    held = sum(int(curves[run]["held"][j]) for j, run in enumerate(chosen))
    symbols_of_runs = list(plan.frames)
    name = PORTFOLIO if len(symbols_of_runs) > 1 else symbols_of_runs[0]
    ranked = [item["error"] is None and item["trades"] >= plan.min_trades for item in scored]
    overfitting = overfitting_figures([name] * len(scored), [item["sums"] for item in scored],
                                      ranked, plan.job.blocks)[name]
    found = lookahead_findings(scored[0]["lookahead"]) if lookahead_check and scored else None
    return WalkForward(
        dates=dates, folds=folds, combinations=plan.combinations, parameters=plan.columns,
        fixed=plan.job.params, chosen=chosen, scores=table, stitched=stitched,
        exposure=held / len(stitched.returns), bars_per_year=year, select=select,
        train=train_length, test=test_length, anchored=anchored, winner=winner,
        winner_returns=curves[winner]["returns"], overfitting=overfitting, lookahead=found,
        symbols=symbols_of_runs,
        errors=[(plan.combinations[i], item["error"]) for i, item in enumerate(scored)
                if item["error"] is not None])


# -- what the workers send back ---------------------------------------------------------

def _main_run(runs: Runs) -> Any:
    """The run the walk-forward judges: the portfolio's with several symbols."""
    if runs.portfolio is not None:
        return runs.portfolio
    return next(iter(runs.results.values()))


def score_summary(job: Job, runs: Runs) -> dict[str, Any]:
    """The first pass's share of one combination: each fold's train score
    and the run's cagr over each train window, its score over all the bars,
    its trades, its per-block sums and the look-ahead findings."""
    from quorvane.overfitting import curve_block_sums

    folds: list[Fold] = job.options["folds"]
    result = _main_run(runs)
    if isinstance(result, str):
        nothing = np.full(len(folds), np.nan)
        return {"error": result, "scores": nothing, "cagr": nothing, "full": np.nan,
                "sums": None, "trades": 0, "bars_per_year": None, "lookahead": runs.lookahead}
    returns = result.returns.to_numpy()
    year = result.bars_per_year
    select = job.options["select"]
    scores = fold_scores(returns, folds, select, year)
    least = job.options["min_trades"]
    # The statistics cost a pass over the equity: read only when asked for.
    trades = int(result.stats["trades"]) if least else 0
    if trades < least:
        scores = np.full(len(folds), np.nan)  # never chosen
    return {"error": None, "scores": scores,
            "cagr": fold_scores(returns, folds, "cagr", year),
            "full": float(window_scores(returns, select, year)),
            "sums": curve_block_sums(result.equity.to_numpy(), job.blocks), "trades": trades,
            "bars_per_year": year, "lookahead": runs.lookahead}


def curve_summary(job: Job, runs: Runs) -> dict[str, Any]:
    """The second pass's share of a chosen combination: its per-bar returns
    from the first test window on, its held weights at the closes before
    each test window (folds x symbols), and how many closes of each test
    window it held units at."""
    folds: list[Fold] = job.options["folds"]
    result = _main_run(runs)
    if isinstance(result, str):
        raise RuntimeError(f"a combination that ran before failed on its second run: {result}")
    start = folds[0].test_start
    n = len(result.dates)
    weights = np.asarray(result.weights, dtype=np.float64).reshape(n, -1)
    units = np.asarray(result.units, dtype=np.float64).reshape(n, -1)
    held = (units != 0).any(axis=1)
    return {"returns": result.returns.to_numpy()[start:].copy(),
            "weights": weights[boundary_closes(folds)],
            "held": np.array([int(held[f.test_start:f.test_end].sum()) for f in folds])}
