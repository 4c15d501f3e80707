#!/usr/bin/env python3
"""Benchmark of the figures that judge a strategy: what the overfitting
statistics and the look-ahead check add to the work they judge.

    python bench/judging.py            # 1,000,000 bars, 5 rounds, about a minute
    python bench/judging.py --smoke    # 20,000 bars, one round, seconds: for CI

- per-block sums of one row's per-bar returns against the backtest of that
  row (what a sweep worker adds to each row; target with the cross-validation
  below: at most 10% of a sweep);
- the cross-validation (16 blocks) of 50 and 500 trials against the 50 rows
  of a 50-value sweep;
- the look-ahead check against the strategy's own signal time (target 1.5),
  beside its floor: the three calls of the strategy on the cut bars alone.

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

from quorvane.backtest import run_strategy  # noqa: E402
from quorvane.lookahead import find_lookahead  # noqa: E402
from quorvane.overfitting import block_sums, pbo  # noqa: E402
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
    returns = result.returns.to_numpy()
    positions = result.positions.to_numpy()
    rng = np.random.default_rng(1)
    trials = {size: np.stack([block_sums(rng.normal(0.0, 0.01, 2_000), 16) for _ in range(size)])
              for size in (50, 500)}

    rows: dict[str, list[float]] = {}
    ratios: dict[str, list[float]] = {}
    for _ in range(rounds):
        row = best_of(lambda: run_strategy(strategy, bars), repeat)
        sums = best_of(lambda: block_sums(returns, 16), repeat)
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

    print(f"{count:,} bars, {rounds} round(s), best of {repeat} per timing")
    for name, values in rows.items():
        print(f"  {name:<42} {min(values) * 1e3:10.2f} ms")
    targets = {"(50 x block sums + pbo of 50) / 50 rows": 0.10, "look-ahead check / signals": 1.5}
    for name, values in ratios.items():
        ratio = statistics.median(values)
        target = targets.get(name)
        verdict = "" if target is None else \
            f"  (target <= {target:g}: {'ok' if ratio <= target else 'MISS'})"
        print(f"  {name:<42} {ratio:10.3f}{verdict}")


if __name__ == "__main__":
    main()
