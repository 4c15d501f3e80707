#!/usr/bin/env python3
"""Benchmark of parameter sweeps: the cost of each added value, and the
engines side by side.

    python bench/sweep.py             # 1,000,000 bars, 50 values of ma_period
    python bench/sweep.py --smoke     # seconds, for CI: small data, no targets
    python bench/sweep.py --bars 200000 --values 20 --repeat 3

Run it with the interpreter of a venv where the package is installed with its
``dask`` extra.  The bars are generated into a temporary CSV file, removed at
the end.

Every sweep runs as a user runs it, ``python -m quorvane sweep sma_momentum
--grid ma_period=... --data FILE``, in a fresh process, and is timed from
start to exit; the variants run in rounds, in a shuffled order, and the
best time of each is kept (the machine is shared and noisy).  Besides the whole
command, the sweep proper is timed in this process through
``quorvane.sweep`` on bars already in memory: that is the part the engines
change.

Targets (full run only):
  - one job: each added value costs at most 0.05 s;
  - two local jobs at least 1.5x faster than one;
  - a local Dask cluster (two workers) within 1.3x of two local jobs.
For comparison: numpy alone (the same signal and the total return) per value,
and vectorbt's ``Portfolio.from_signals`` per value where vectorbt is
installed (the ``bench`` extra).
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd

PER_VALUE_TARGET = 0.05
JOBS_TARGET = 1.5
DASK_TARGET = 1.3


def write_bars(path: Path, n: int, seed: int = 7) -> None:
    """``n`` minute bars of a random walk, as the CSV a trader would have."""
    import pyarrow as pa
    import pyarrow.csv as pa_csv

    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = np.abs(rng.normal(0.0, 0.004, n)) * close
    opens = close * (1.0 + rng.normal(0.0, 0.002, n))
    high = np.maximum(np.maximum(opens, close) + spread, 0.0)
    low = np.minimum(opens, close) - spread
    low = np.where(low > 0, low, np.minimum(opens, close) * 0.99)
    # Minute bars: a million days would not fit in nanosecond timestamps.
    dates = pd.date_range("2000-01-03", periods=n, freq="min").strftime("%Y-%m-%d %H:%M")
    prices = {name: np.round(values, 4) for name, values in
              (("open", opens), ("high", high), ("low", low), ("close", close))}
    table = pa.table({"date": dates.to_numpy(), **prices,
                      "volume": rng.integers(1_000, 100_000, n).astype(float)})
    pa_csv.write_csv(table, path)


def grid_text(values: int) -> str:
    return f"5:{5 * values}:5"


def command(path: Path, values: int, engine: list[str]) -> list[str]:
    return [sys.executable, "-m", "quorvane", "sweep", "sma_momentum",
            "--grid", f"ma_period={grid_text(values)}", "--data", str(path), "--top", "0",
            *engine]


def time_command(argv: list[str]) -> float:
    """Seconds from start to the exit of the command's process, as a shell
    prompt sees it.  Standard error goes to a file, not a pipe: Dask's fork
    server holds the pipe for 0.15 s more while it shuts down after the
    command has exited."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        returncode = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=errors).returncode
        elapsed = time.perf_counter() - start
        if returncode != 0:
            errors.seek(0)
            text = errors.read().decode(errors="replace").strip()
            raise SystemExit(f"{' '.join(argv)} failed ({returncode}): {text}")
    return elapsed


def best(variants: dict[str, Callable[[], float]], repeat: int) -> dict[str, float]:
    """The best of ``repeat`` timings of every variant, in rounds of every
    variant in a shuffled order (seeded).

    On the two-core VM these figures come from, a command's time depends on
    the command before it, without any disk read: a Dask sweep right after a
    local one took 0.3 to 0.5 s longer than right after another Dask sweep.
    A fixed order would give each variant the same neighbour every round."""
    rng = random.Random(20261209)
    times: dict[str, list[float]] = {name: [] for name in variants}
    names = list(variants)
    for _ in range(repeat):
        rng.shuffle(names)
        for name in names:
            times[name].append(variants[name]())
    return {name: min(values) for name, values in times.items()}


def numpy_per_value(close: np.ndarray, periods: list[int]) -> float:
    """Seconds per value for the SMA signal and its total return in numpy alone."""
    start = time.perf_counter()
    for period in periods:
        sums = np.cumsum(np.insert(close, 0, 0.0))
        average = np.full(close.size, np.nan)
        average[period - 1:] = (sums[period:] - sums[:-period]) / period
        position = np.sign(close - average)
        position[np.isnan(position)] = 0.0
        growth = 1.0 + position[:-1] * (close[1:] / close[:-1] - 1.0)
        np.prod(growth)
    return (time.perf_counter() - start) / len(periods)


def vectorbt_per_value(close: np.ndarray, periods: list[int]) -> float | None:
    try:
        import vectorbt as vbt
    except Exception:
        return None
    series = pd.Series(close)
    start = time.perf_counter()
    for period in periods:
        average = series.rolling(period).mean()
        long = close > average
        vbt.Portfolio.from_signals(series, long, ~long).total_return()
    return (time.perf_counter() - start) / len(periods)


def _busy(n: int) -> float:
    start = time.perf_counter()
    total = 0
    for i in range(n):
        total += i
    return time.perf_counter() - start


def free_cores() -> float:
    """How many cores two busy processes get right now, from 1.0 (another
    program holds one core) to 2.0 (a quiet two-core machine): the scale the
    engine ratios are to be read against."""
    import concurrent.futures

    n = 5_000_000
    one = _busy(n)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        start = time.perf_counter()
        list(pool.map(_busy, [n, n]))
        two = time.perf_counter() - start
    return 2 * one / two


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true",
                        help="a few seconds on small data, no targets checked")
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--values", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true", help="leave the Dask engine out")
    args = parser.parse_args()
    if args.smoke:
        args.bars, args.values, args.repeat = 20_000, 4, 1

    import quorvane
    from quorvane.data import read_bars

    cores_before = free_cores()

    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as folder:
        path = Path(folder) / "bars.csv"
        start = time.perf_counter()
        write_bars(path, args.bars)
        print(f"{args.bars:,} bars written to a {path.stat().st_size / 1e6:.0f} MB CSV "
              f"in {time.perf_counter() - start:.1f} s; {args.values} values of ma_period "
              f"({grid_text(args.values)}); best of {args.repeat}; {os.cpu_count()} cores")

        variants: dict[str, Callable[[], float]] = {
            "1 value, 1 job": lambda: time_command(command(path, 1, ["--jobs", "1"])),
            f"{args.values} values, 1 job":
                lambda: time_command(command(path, args.values, ["--jobs", "1"])),
            f"{args.values} values, 2 jobs":
                lambda: time_command(command(path, args.values, ["--jobs", "2"])),
        }
        if not args.no_dask:
            variants[f"{args.values} values, dask local (2 workers)"] = lambda: time_command(
                command(path, args.values, ["--dask", "local", "--jobs", "2"]))
        whole = best(variants, args.repeat)

        bars = {"bars": read_bars(path)}
        grid = {"ma_period": grid_text(args.values)}

        long_values = 4 * args.values
        long_grid = {"ma_period": grid_text(long_values)}

        def api(grid: dict[str, str], **engine: object) -> Callable[[], float]:
            def run() -> float:
                start = time.perf_counter()
                quorvane.sweep("sma_momentum", grid, bars, progress=False, **engine)
                return time.perf_counter() - start
            return run

        proper_variants = {"1 job": api(grid, jobs=1), "2 jobs": api(grid, jobs=2)}
        if not args.no_dask:
            proper_variants["dask local (2 workers)"] = api(grid, dask="local", jobs=2)
            # Dask's start and the scatter are a fixed cost: a longer sweep
            # shows how it wears off.
            proper_variants["2 jobs, long"] = api(long_grid, jobs=2)
            proper_variants["dask local (2 workers), long"] = api(long_grid, dask="local", jobs=2)
        proper = best(proper_variants, args.repeat)

        close = bars["bars"]["close"].to_numpy()
        periods = list(range(5, 5 * args.values + 1, 5))
        numpy_cost = numpy_per_value(close, periods)
        vbt_cost = vectorbt_per_value(close, periods[:5])

    cores_after = free_cores()
    names = list(whole)
    one, many, two = whole[names[0]], whole[names[1]], whole[names[2]]
    per_value = (many - one) / max(1, args.values - 1)
    print(f"\ncores free for two busy processes: {cores_before:.2f} before, "
          f"{cores_after:.2f} after (2.00 on a quiet two-core machine)")
    print("the whole command (python -m quorvane sweep ..., start to exit):")
    for name, seconds in whole.items():
        print(f"  {name:<40} {seconds:8.2f} s")
    print("the sweep proper (quorvane.sweep on bars in memory):")
    for name, seconds in proper.items():
        values = long_values if name.endswith(", long") else args.values
        print(f"  {values} values, {name.removesuffix(', long'):<30} {seconds:8.2f} s")

    results = [
        ("each added value, 1 job (s)", per_value, f"<= {PER_VALUE_TARGET}",
         per_value <= PER_VALUE_TARGET),
        ("1 job / 2 jobs, whole command", many / two, f">= {JOBS_TARGET}",
         many / two >= JOBS_TARGET),
        ("1 job / 2 jobs, sweep proper", proper["1 job"] / proper["2 jobs"], f">= {JOBS_TARGET}",
         proper["1 job"] / proper["2 jobs"] >= JOBS_TARGET),
    ]
    if not args.no_dask:
        dask_whole = whole[names[3]] / two
        dask_proper = proper["dask local (2 workers)"] / proper["2 jobs"]
        dask_long = proper["dask local (2 workers), long"] / proper["2 jobs, long"]
        results += [
            ("dask local / 2 jobs, whole command", dask_whole, f"<= {DASK_TARGET}",
             dask_whole <= DASK_TARGET),
            ("dask local / 2 jobs, sweep proper", dask_proper, f"<= {DASK_TARGET}",
             dask_proper <= DASK_TARGET),
            (f"  the same, {long_values} values", dask_long, f"<= {DASK_TARGET}",
             dask_long <= DASK_TARGET),
        ]
    print("\nfigure                                     value   target")
    for label, value, target, ok in results:
        verdict = "" if args.smoke else ("  ok" if ok else "  MISS")
        print(f"  {label:<38} {value:8.3f}   {target}{verdict}")
    if not args.no_dask:
        print(f"Dask's fixed cost (dask local - 2 jobs): {whole[names[3]] - two:.2f} s for the "
              f"whole command, {proper['dask local (2 workers)'] - proper['2 jobs']:.2f} s for "
              "the sweep proper")
    print(f"for comparison, per value: numpy alone {numpy_cost:.4f} s"
          + (f", vectorbt Portfolio.from_signals {vbt_cost:.3f} s" if vbt_cost is not None
             else ", vectorbt not installed"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
