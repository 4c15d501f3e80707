#!/usr/bin/env python3
"""Benchmark of the backtest: the ``run`` command against its floor (with and
without stops and next-open fills), a portfolio of 500 symbols against its
floor, the in-process backtest, the indicators against TA-Lib, and the same
job in vectorbt and backtesting.py where they are installed (the ``bench``
extra).

    python bench/backtest.py              # 1,000,000 bars, a few minutes
    python bench/backtest.py --smoke      # 20,000 bars, 20 symbols, one round, seconds: for CI
    python bench/backtest.py --bars 200000 --rounds 3 --no-peers
    python bench/backtest.py --indicators-only --rounds 5

Run it with the interpreter of a venv where the package is installed.  The
machine may be shared: every ratio is taken between timings made in the same
round, and the table shows the best time and the median ratio over rounds.
It prints figures and targets; it fails only if something does not run.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import make_bars  # noqa: E402

MA_PERIOD = 20
# The account's options that the second run variant adds.
STOPS = ["--fill", "next-open", "--stop-loss", "0.02", "--take-profit", "0.04",
         "--trailing-stop", "0.03"]


# -- timing helpers ------------------------------------------------------------------

def best_of(function: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def run_process(command: list[str]) -> tuple[float, float]:
    """Wall time (s) and peak resident memory (MB) of a command."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    error = process.stderr.read().decode() if process.stderr else ""
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{error}")
    return elapsed, usage.ru_maxrss / 1024  # ru_maxrss is in KiB on Linux


def table(rows: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for number, row in enumerate(rows):
        lines.append("| " + " | ".join(cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i])
                                       for i, cell in enumerate(row)) + " |")
        if number == 0:
            lines.append("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(lines)


# -- the sections --------------------------------------------------------------------

def bench_run(csv: Path, rounds: int) -> None:
    """``quorvane run`` end to end against the floor script, in subprocesses:
    plain, and with next-open fills and the three stops."""
    python = sys.executable
    ours = [python, "-m", "quorvane", "run", "sma_momentum", "--param", f"ma_period={MA_PERIOD}",
            "--data", str(csv), "--json"]
    floor = [python, str(BENCH / "backtest_floor.py"), str(csv), str(MA_PERIOD)]
    variants = {"plain": ours, "stops": ours + STOPS}
    run_process(floor)  # warm the file cache
    ratios: dict[str, list[float]] = {name: [] for name in variants}
    times: dict[str, list[float]] = {name: [] for name in variants}
    floor_times, memory = [], []
    for _ in range(rounds):
        floor_time, _ = run_process(floor)
        floor_times.append(floor_time)
        for name, command in variants.items():
            seconds, peak = run_process(command)
            ratios[name].append(seconds / floor_time)
            times[name].append(seconds)
            memory.append(peak)
    print(f"\n## run over {csv.stat().st_size / 1e6:.1f} MB of CSV ({rounds} rounds)\n")
    print(table([
        ["", "best s", "median ratio to floor", "peak memory MB"],
        ["quorvane run sma_momentum --json", f"{min(times['plain']):.3f}",
         f"{statistics.median(ratios['plain']):.2f} (target <= 1.2)",
         f"{max(memory):.0f} (target < 400)"],
        ["  the same with " + " ".join(STOPS), f"{min(times['stops']):.3f}",
         f"{statistics.median(ratios['stops']):.2f} (target <= 1.4)", ""],
        ["floor (bench/backtest_floor.py)", f"{min(floor_times):.3f}", "1.00", ""],
    ]))


def bench_portfolio(folder: Path, rounds: int) -> None:
    """``quorvane run`` over a folder of Parquet files, one account for all
    the symbols, against the floor over the same closes."""
    python = sys.executable
    ours = [python, "-m", "quorvane", "run", "sma_momentum", "--param", f"ma_period={MA_PERIOD}",
            "--data", str(folder), "--json"]
    floor = [python, str(BENCH / "portfolio_floor.py"), str(folder), str(MA_PERIOD)]
    run_process(floor)
    ratios, ours_times, floor_times, memory = [], [], [], []
    for _ in range(rounds):
        floor_time, _ = run_process(floor)
        our_time, peak = run_process(ours)
        ratios.append(our_time / floor_time)
        ours_times.append(our_time)
        floor_times.append(floor_time)
        memory.append(peak)
    files = sorted(folder.iterdir())
    print(f"\n## a portfolio of {len(files)} Parquet files ({rounds} rounds)\n")
    print(table([
        ["", "best s", "median ratio to floor", "peak memory MB"],
        ["quorvane run sma_momentum --data FOLDER --json", f"{min(ours_times):.3f}",
         f"{statistics.median(ratios):.2f} (target <= 3)", f"{max(memory):.0f}"],
        ["floor (bench/portfolio_floor.py)", f"{min(floor_times):.3f}", "1.00", ""],
    ]))


def bench_in_process(bars, repeat: int) -> float:
    from quorvane.backtest import backtest, run_strategy
    from quorvane.trader_core.strategies import SMAMomentumStrategy
    strategy = SMAMomentumStrategy(ma_period=MA_PERIOD)
    positions = strategy.generate_signals(bars)
    stops = {"fill": "next-open", "stop_loss": 0.02, "take_profit": 0.04, "trailing_stop": 0.03}
    run = best_of(lambda: run_strategy(strategy, bars), repeat)
    signals = best_of(lambda: strategy.generate_signals(bars), repeat)
    alone = best_of(lambda: backtest(bars, positions), repeat)
    with_stops = best_of(lambda: backtest(bars, positions, **stops), repeat)
    result = backtest(bars, positions)
    tables = best_of(lambda: (backtest(bars, positions).trades, result.fills), repeat)
    print(f"\n## run_strategy on {len(bars):,} bars already loaded (best of {repeat}; "
          f"{result.stats['fills']:,} fills)\n")
    print(table([
        ["", "ms"],
        ["run_strategy(SMAMomentumStrategy(), bars), statistics included",
         f"{run * 1e3:.1f} (target < 50)"],
        ["  of which generate_signals", f"{signals * 1e3:.1f}"],
        ["  of which backtest(bars, positions)", f"{alone * 1e3:.1f}"],
        ["backtest(bars, positions) with next-open fills and the three stops",
         f"{with_stops * 1e3:.1f}"],
        ["backtest(bars, positions) and its trades and fills tables", f"{tables * 1e3:.1f}"],
    ]))
    return run


def bench_indicators(size: int, rounds: int) -> None:
    try:
        import talib
    except ImportError:
        print("\n## indicators: TA-Lib is not installed (pip install ta-lib); skipped")
        return
    from quorvane import indicators
    rng = np.random.default_rng(3)
    values = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, size)))
    volume = rng.integers(100, 10_000, size).astype(float)
    cases = {
        "sma(20)": (lambda: indicators.sma(values, 20), lambda: talib.SMA(values, 20)),
        "ema(20)": (lambda: indicators.ema(values, 20), lambda: talib.EMA(values, 20)),
        "rsi(14)": (lambda: indicators.rsi(values, 14), lambda: talib.RSI(values, 14)),
        "macd(12, 26, 9)": (lambda: indicators.macd(values), lambda: talib.MACD(values)),
        "bollinger_bands(20, 2)": (lambda: indicators.bollinger_bands(values, 20, 2.0),
                                   lambda: talib.BBANDS(values, 20, 2.0, 2.0, 0)),
        "sma(500)": (lambda: indicators.sma(values, 500), lambda: talib.SMA(values, 500)),
    }
    rows = [["indicator", "ours ms", "TA-Lib ms", "median ratio (target <= 3)"]]
    for name, (ours, theirs) in cases.items():
        ratios, mine, reference = [], [], []
        for _ in range(rounds):
            a = best_of(ours, 3)
            b = best_of(theirs, 3)
            ratios.append(a / b)
            mine.append(a)
            reference.append(b)
        rows.append([name, f"{min(mine) * 1e3:.2f}", f"{min(reference) * 1e3:.2f}",
                     f"{statistics.median(ratios):.2f}"])
    rows.append(["rolling_vwap(20) (no TA-Lib match)",
                 f"{best_of(lambda: indicators.rolling_vwap(values, volume, 20), 3) * 1e3:.2f}",
                 "", ""])
    print(f"\n## indicators on {size:,} values ({rounds} rounds of best of 3)\n")
    print(table(rows))


# The strategy framework as it was before it moved to DataFrames: the files
# the loader's import reaches, from this commit.
IMPORT_BASELINE = "15f4764"
FRAMEWORK = ["__init__.py", "strategy.py", "bars.py", "indicators.py", "trader_core/__init__.py",
             "trader_core/strategies/__init__.py", "trader_core/strategies/base.py"]


def _import_trees(folder: Path) -> dict[str, Path] | None:
    """Two throw-away package trees around the installed compiled loader: the
    framework of IMPORT_BASELINE, and the framework of this checkout."""
    import quorvane.strategy_loader as loader
    source = Path(__import__("quorvane").__file__).resolve().parent
    trees = {}
    for name in ("before", "now"):
        package = folder / name / "quorvane"
        (package / "trader_core" / "strategies").mkdir(parents=True)
        (package / Path(loader.__file__).name).write_bytes(Path(loader.__file__).read_bytes())
        trees[name] = package.parent
    for relative in FRAMEWORK:
        shown = subprocess.run(["git", "-C", str(BENCH.parent), "show",
                                f"{IMPORT_BASELINE}:src/quorvane/{relative}"],
                               capture_output=True)
        if shown.returncode != 0:
            return None  # not a git checkout with that commit
        (trees["before"] / "quorvane" / relative).write_bytes(shown.stdout)
    for relative in _reached_now():
        target = trees["now"] / "quorvane" / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes((source / relative).read_bytes())
    return trees


def _reached_now() -> list[str]:
    """The Python files of this checkout that `import quorvane.strategy_loader`
    imports, relative to the package."""
    code = ("import sys, quorvane.strategy_loader\n"
            "for name, module in list(sys.modules.items()):\n"
            "    path = getattr(module, '__file__', None) or ''\n"
            "    if name.startswith('quorvane') and path.endswith('.py'): print(path)")
    listed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True).stdout.split()
    package = Path(__import__("quorvane").__file__).resolve().parent
    return [str(Path(path).resolve().relative_to(package)) for path in listed]


def _import_time(tree: Path) -> int:
    """Microseconds, cumulative, of `import quorvane.strategy_loader` from ``tree``."""
    # -S: no site-packages, so neither the installed package nor an editable
    # install's import hook can stand in for the tree.
    result = subprocess.run([sys.executable, "-S", "-X", "importtime", "-c",
                             "import quorvane.strategy_loader"],
                            env={**os.environ, "PYTHONPATH": str(tree)},
                            capture_output=True, text=True, check=True)
    line = [row for row in result.stderr.splitlines() if row.endswith("quorvane.strategy_loader")]
    return int(line[-1].split("|")[1])


def bench_import(rounds: int) -> None:
    """Import time of the compiled loader now against before, and that it loads no data stack."""
    code = "import quorvane.strategy_loader"
    check = subprocess.run([sys.executable, "-c", code + "; import sys; print(sorted("
                            "m for m in ('numpy', 'pandas', 'pyarrow') if m in sys.modules))"],
                           capture_output=True, text=True, check=True).stdout.strip()
    print(f"\n## import quorvane.strategy_loader ({rounds} rounds)\n")
    print(f"data stack imported with it: {check}")
    with tempfile.TemporaryDirectory(prefix="quorvane-import-") as folder:
        trees = _import_trees(Path(folder))
        if trees is None:
            print(f"(no git history with {IMPORT_BASELINE}: no comparison)")
            return
        before, now, ratios = [], [], []
        for _ in range(rounds):
            a = _import_time(trees["before"])
            b = _import_time(trees["now"])
            before.append(a)
            now.append(b)
            ratios.append(b / a)
    print(table([
        ["framework", "median ms", "min ms", "median ratio"],
        [f"before ({IMPORT_BASELINE})", f"{statistics.median(before) / 1e3:.1f}",
         f"{min(before) / 1e3:.1f}", "1.00"],
        ["now", f"{statistics.median(now) / 1e3:.1f}", f"{min(now) / 1e3:.1f}",
         f"{statistics.median(ratios):.2f} (target <= 1.2)"],
    ]))


def bench_peers(bars, ours: float, repeat: int, backtesting_bars: int) -> None:
    """The same job (SMA momentum positions, backtest, statistics) in other libraries."""
    import pandas as pd
    rows = [["library", "bars", "s", "ratio to run_strategy"]]
    rows.append(["quorvane run_strategy", f"{len(bars):,}", f"{ours:.3f}", "1.00"])
    close = bars["close"]
    try:
        import warnings
        warnings.filterwarnings("ignore")
        import vectorbt as vbt
    except ImportError:
        rows.append(["vectorbt", "", "not installed", ""])
    else:
        def vectorbt_job(frame_close=close):
            average = frame_close.rolling(MA_PERIOD).mean()
            size = np.sign(frame_close - average).fillna(0.0)
            portfolio = vbt.Portfolio.from_orders(frame_close, size=size, size_type="targetpercent",
                                                  freq="1min")
            return portfolio.stats()
        vectorbt_job(close.iloc[:2000])  # compile its numba functions first
        seconds = best_of(vectorbt_job, repeat)
        rows.append([f"vectorbt {vbt.__version__}", f"{len(bars):,}", f"{seconds:.3f}",
                     f"{seconds / ours:.1f}"])
    try:
        import backtesting
        from backtesting import Backtest, Strategy
    except ImportError:
        rows.append(["backtesting.py", "", "not installed", ""])
    else:
        class SmaMomentum(Strategy):
            def init(self):
                self.average = self.I(lambda c: pd.Series(c).rolling(MA_PERIOD).mean().to_numpy(),
                                      self.data.Close)

            def next(self):
                above = self.data.Close[-1] > self.average[-1]
                below = self.data.Close[-1] < self.average[-1]
                if above and not self.position.is_long:
                    self.buy()
                elif below and not self.position.is_short:
                    self.sell()

        part = bars.iloc[:backtesting_bars].rename(columns=str.capitalize)
        job = Backtest(part, SmaMomentum, cash=1e9, commission=0.0, finalize_trades=True)
        seconds = best_of(job.run, 1)
        scaled = seconds * len(bars) / len(part)
        rows.append([f"backtesting.py {backtesting.__version__}", f"{len(part):,}",
                     f"{seconds:.3f}", f"{scaled / ours:.0f} (scaled to {len(bars):,} bars)"])
    print("\n## the same job in other libraries (data loaded, statistics included)\n")
    print(table(rows))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true",
                        help="20,000 bars, 20 symbols, one round, no peers: a few seconds")
    parser.add_argument("--bars", type=int, default=None)
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--indicators-only", action="store_true",
                        help="only the indicators against TA-Lib: seconds")
    parser.add_argument("--backtesting-bars", type=int, default=100_000,
                        help="bars for backtesting.py, whose loop runs in Python (default 100,000)")
    args = parser.parse_args()
    count = args.bars or (20_000 if args.smoke else 1_000_000)
    rounds = args.rounds or (1 if args.smoke else 5)
    repeat = 2 if args.smoke else 7

    import platform
    print(f"# backtest benchmark: {count:,} bars, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    if args.indicators_only:
        bench_indicators(count, rounds)
        return
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as folder:
        csv = Path(folder) / "bars.csv"
        frame = make_bars.bars(count)
        make_bars.write(frame, csv)
        bench_run(csv, rounds)
        from quorvane.data import read_bars
        bars = read_bars(csv)
        symbols, days = (20, 300) if args.smoke else (500, 2500)
        make_bars.daily_folder(Path(folder) / "universe", symbols, days)
        bench_portfolio(Path(folder) / "universe", rounds)
    ours = bench_in_process(bars, repeat)
    bench_indicators(count, rounds)
    bench_import(3 if args.smoke else 15)
    if not args.smoke and not args.no_peers:
        bench_peers(bars, ours, 3, min(args.backtesting_bars, count))


if __name__ == "__main__":
    main()
