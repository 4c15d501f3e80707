#!/usr/bin/env python3
"""Benchmark of the figures that judge a strategy: what the overfitting
statistics and the look-ahead check add to the work they judge.

    python bench/judging.py            # 1,000,000 bars, 5 rounds, about a minute
    python bench/judging.py --smoke    # 20,000 bars, one round, seconds: for CI

- per-block sums of one row's per-bar returns (from its equity curve, as a
  sweep worker computes them beside its row) against the backtest of that
  row with its statistics (target with the cross-validation below: at most
  10% of a sweep);
- the cross-validation (16 blocks) of 50 and 500 trials against the 50 rows
  of a 50-value sweep;
- the look-ahead check against the strategy's own signal time (target 1.5),
  beside its floor: the three calls of the strategy on the cut bars alone;
- a whole 50-value sweep (``quorvane.sweep`` on bars in memory, one job)
  with its overfitting figures against the same sweep without them (the
  per-block sums and the figures replaced by nothing; target: at most 10%
  more);
- a walk-forward of 10 folds over the same 50 values against that sweep
  (target: at most 1.3 times), both with their look-ahead check.

Times are the process's CPU time (less disturbed than wall time by other
work on a shared machine; every step here runs in this process), ratios are
taken between timings of the same round, and the median over rounds is
shown beside the best times.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import make_bars  # noqa: E402

import quorvane  # noqa: E402
import quorvane.sweeps as sweeps  # noqa: E402
from quorvane.backtest import run_strategy  # noqa: E402
from quorvane.lookahead import find_lookahead  # noqa: E402
from quorvane.overfitting import block_sums, curve_block_sums, pbo  # noqa: E402
from quorvane.strategy_loader import load_strategy  # noqa: E402


def best_of(function: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.process_time()
        function()
        times.append(time.process_time() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="20,000 bars, one round")
    parser.add_argument("--bars", type=int)
    parser.add_argument("--rounds", type=int)
    args = parser.parse_args()
    count = args.bars or (20_000 if args.smoke else 1_000_000)
    rounds = args.rounds or (1 if args.smoke else 5)
    repeat = 1 if args.smoke else 3
    bars = make_bars.bars(count)
    strategy = load_strategy("sma_momentum", ma_period=20)
    result = run_strategy(strategy, bars)
    equity = result.equity.to_numpy()
    positions = result.positions.to_numpy()
    rng = np.random.default_rng(1)
    trials = {size: np.stack([block_sums(rng.normal(0.0, 0.01, 2_000), 16) for _ in range(size)])
              for size in (50, 500)}

    rows: dict[str, list[float]] = {}
    ratios: dict[str, list[float]] = {}
    for _ in range(rounds):
        # The statistics read the account's pass: the whole of a sweep's row.
        row = best_of(lambda: run_strategy(strategy, bars).stats, repeat)
        sums = best_of(lambda: curve_block_sums(equity, 16), repeat)
        signals = best_of(lambda: strategy.generate_signals(bars), repeat)
        cuts = best_of(lambda: [strategy.generate_signals(bars.iloc[:int(count * share)])
                                for share in (0.25, 0.5, 0.75)], repeat)
        check = best_of(lambda: find_lookahead(strategy.generate_signals, bars, positions), repeat)
        cscv = {size: best_of(lambda s=size: pbo(trials[s]), repeat) for size in trials}
        for name, value in (("backtest of one row", row), ("block sums of one row", sums),
                            ("signals of one row", signals), ("look-ahead check", check),
                            ("pbo, 50 trials", cscv[50]), ("pbo, 500 trials", cscv[500])):
            rows.setdefault(name, []).append(value)
        for name, value in (
                ("block sums / backtest of a row", sums / row),
                ("(50 x block sums + pbo of 50) / 50 rows", (50 * sums + cscv[50]) / (50 * row)),
                ("three calls on the cuts alone / signals", cuts / signals),
                ("look-ahead check / signals", check / signals)):
            ratios.setdefault(name, []).append(value)

    values = 4 if args.smoke else 50
    grid = {"ma_period": list(range(5, 5 * values + 1, 5))}
    test = count // 11
    # Imports and first calls outside the timings.
    without_overfitting({"ma_period": [5]}, bars)
    quorvane.walk_forward("sma_momentum", {"ma_period": [5, 10]}, bars, train=test, test=test,
                          jobs=1)
    for _ in range(rounds):
        plain = best_of(lambda: without_overfitting(grid, bars), 1)
        judged = best_of(lambda: quorvane.sweep("sma_momentum", grid, bars, jobs=1), 1)
        walk = best_of(lambda: quorvane.walk_forward("sma_momentum", grid, bars, train=test,
                                                     test=test, jobs=1), 1)
        for name, value in (("sweep without overfitting figures", plain),
                            ("sweep with them", judged), ("walk-forward, 10 folds", walk)):
            rows.setdefault(name, []).append(value)
        ratios.setdefault("sweep with / without overfitting figures", []).append(judged / plain)
        ratios.setdefault("walk-forward / sweep", []).append(walk / judged)

    print(f"{count:,} bars, {rounds} round(s), best of {repeat} per timing "
          f"(the sweeps and the walk-forward: one each per round, {values} values)")
    for name, values_ in rows.items():
        print(f"  {name:<42} {min(values_) * 1e3:10.2f} ms")
    targets = {"(50 x block sums + pbo of 50) / 50 rows": 0.10, "look-ahead check / signals": 1.5,
               "sweep with / without overfitting figures": 1.10, "walk-forward / sweep": 1.3}
    for name, values in ratios.items():
        ratio = statistics.median(values)
        target = targets.get(name)
        verdict = "" if target is None else \
            f"  (target <= {target:g}: {'ok' if ratio <= target else 'MISS'})"
        print(f"  {name:<42} {ratio:10.3f}{verdict}")


def without_overfitting(grid: dict[str, list[int]], bars: object) -> object:
    """The same sweep with the per-block sums and the figures replaced by nothing."""
    import quorvane.overfitting as overfitting

    sums, figures = overfitting.curve_block_sums, sweeps.overfitting_figures
    overfitting.curve_block_sums = lambda equity, blocks=16: None  # type: ignore[assignment]
    sweeps.overfitting_figures = lambda *args: {}  # type: ignore[assignment]
    try:
        return quorvane.sweep("sma_momentum", grid, bars, jobs=1)
    finally:
        overfitting.curve_block_sums, sweeps.overfitting_figures = sums, figures


if __name__ == "__main__":
    main()
