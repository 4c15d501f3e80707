"""``run``: a strategy over bars, its backtest with costs, the statistics, and
optional files: the trade list, the equity curve and a plot.

Results go to standard output; progress lines and warnings to standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Mapping
from pathlib import Path
from typing import IO, Any

from quorvane.messages import describe, strategy_params, when
from quorvane.stats import format_stat

from .formats import aligned, plain
from .judging import (LOOKAHEAD_STATUS, add_lookahead_options, lookahead_json,
                      warn_lookahead)
from .options import (_DESCRIPTION, CliError, account_keywords, add_account_options,
                      load_from_args, parse_symbols)

__all__ = ["Progress", "cmd_run", "equity_table", "register", "trades_table"]

SAMPLE_LABEL = "sample_daily.csv (shipped synthetic sample)"

# Columns of the per-symbol table when several symbols run.
_SYMBOL_COLUMNS = ("total_return", "cagr", "sharpe", "max_drawdown", "trades", "exposure")


# -- progress ----------------------------------------------------------------------

# Data at least this large makes a run "long": --progress auto reports on it
# when standard error is a terminal.
LONG_DATA_BYTES = 1 << 20


class Progress:
    """Progress lines on standard error while a run works.

    ``auto`` shows them only for a long run (``long``) and only when standard
    error is a terminal, so captured or piped output never holds them.
    """

    def __init__(self, err: IO[str], mode: str = "auto", long: bool = True) -> None:
        self.err = err
        self.enabled = mode == "always" or (mode == "auto" and long and _isatty(err))
        self._started = time.perf_counter()

    def note(self, message: str) -> None:
        if self.enabled:
            elapsed = time.perf_counter() - self._started
            print(f"[{elapsed:6.2f} s] {message}", file=self.err, flush=True)


def _data_bytes(path: str | None) -> int:
    """The size of the data files (0 for the sample or a path that is not there)."""
    if path is None:
        return 0
    try:
        target = Path(path)
        if target.is_dir():
            return sum(entry.stat().st_size for entry in target.iterdir() if entry.is_file())
        return target.stat().st_size
    except OSError:
        return 0  # reading will say what is wrong


def _isatty(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _warn(message: str) -> None:
    print(f"warning: {message}", file=sys.stderr, flush=True)


# -- reading the data ----------------------------------------------------------------

def _read_source(path: str | None, symbols: list[str] | None) -> Any:
    # The readers (numpy, pyarrow) are imported on the reading thread too, so
    # that the read starts while this thread goes on importing the rest.
    from quorvane.data import readers
    return readers.read_source(path, symbols)


class _Reading:
    """The data files read on a thread while the strategy and pandas load.

    pyarrow reads without holding the interpreter lock, so on two cores the
    reading and the imports overlap (bench/backtest.py, the run section).
    """

    def __init__(self, path: str | None, symbols: list[str] | None, progress: Progress) -> None:
        from concurrent.futures import ThreadPoolExecutor

        self.path, self.symbols, self.progress = path, symbols, progress
        self.label = SAMPLE_LABEL if path is None else path
        progress.note(f"reading {self.label}")
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="quorvane-read")
        self._source = self._pool.submit(_read_source, path, symbols)
        self._pool.shutdown(wait=False)

    def result(self) -> tuple[dict[str, Any], str]:
        from quorvane.data import DataError, readers
        try:
            universe = readers.frames(self._source.result(), self.symbols)
        except FileNotFoundError as exc:
            raise CliError(str(exc) if self.path is None
                           else f"data file not found: {self.path}") from None
        except DataError as exc:
            raise CliError(str(exc)) from None
        except PermissionError as exc:
            raise CliError(f"cannot read {exc.filename or self.path}: {exc.strerror}") from None
        total = sum(len(bars) for bars in universe.values())
        self.progress.note(f"read {total:,} bars of {len(universe)} symbol(s)")
        return universe, self.label


# -- checking output paths before any work -------------------------------------------

def _check_outputs(args: argparse.Namespace) -> None:
    """Refuse, before any work, a file the run could not or must not write."""
    from quorvane import outputs
    try:
        if args.plot is not None:
            outputs.check_plot("--plot", args.plot)
        for option, path in (("--trades", args.trades), ("--equity", args.equity)):
            if path is not None:
                outputs.check_table(option, path)
        inputs = outputs.data_inputs(args.data)
        if args.benchmark is not None:
            inputs.append((f"the --benchmark file {args.benchmark}", args.benchmark))
        outputs.check_distinct([("--trades", args.trades), ("--equity", args.equity),
                                ("--plot", args.plot)], inputs)
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None


# -- the command ---------------------------------------------------------------------

def cmd_run(args: argparse.Namespace, out: IO[str]) -> int:
    _check_outputs(args)
    progress = Progress(sys.stderr, args.progress, _data_bytes(args.data) >= LONG_DATA_BYTES)
    reading = _Reading(args.data, parse_symbols(args.symbols), progress)
    # Importing the backtest imports pandas: while the files are read.
    from quorvane.backtest import AccountOptions
    from quorvane.runner import backtest_symbols
    keywords = account_keywords(args)
    try:
        AccountOptions(args.commission, args.slippage)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    strategy = load_from_args(args)
    if not callable(getattr(strategy, "generate_signals", None)):
        raise CliError(f"{type(strategy).__name__} has no generate_signals(bars) method")
    universe, label = reading.result()

    def each(number: int, symbol: str, bars: Any) -> None:
        progress.note(f"running {describe(strategy)} on {symbol} ({number}/{len(universe)}, "
                      f"{len(bars):,} bars)")

    results, combined = backtest_symbols(strategy, universe, each=each, **keywords)
    for symbol, result in results.items():
        _warn_if_idle(strategy, symbol, universe[symbol], result)
    progress.note("backtest done")
    found = _check_lookahead(strategy, universe, results, progress) if args.lookahead_check \
        else None

    benchmark = args.benchmark if args.benchmark is not None else "buy_and_hold"
    report = _report(strategy, label, universe, results, combined, benchmark, found)
    # The files first: a reader that leaves early (`| head`) must not cost them.
    written: list[str] = []
    from quorvane.outputs import OutputError, write_file, write_table
    try:
        if args.trades is not None:
            write_table(trades_table(results, combined), args.trades)
            written.append(f"trades: {args.trades}")
        if args.equity is not None:
            write_table(equity_table(results, combined), args.equity, index=True)
            written.append(f"equity: {args.equity}")
        if args.plot is not None:
            from quorvane.plots import plot_backtest
            progress.note(f"drawing {args.plot}")
            figure = plot_backtest(combined if combined is not None
                                   else next(iter(results.values())),
                                   f"{describe(strategy)} on {label}")
            write_file(args.plot, lambda path: figure.savefig(path, dpi=100))
            written.append(f"plot: {args.plot}")
    except OutputError as exc:
        raise CliError(str(exc)) from None
    if args.json:
        print(json.dumps(report, allow_nan=False), file=out)
    else:
        _print_table(describe(strategy), report, results, combined, args, out)
    for line in written:
        _say(args, out, line)
    if args.strict and found is not None and any(item is not None for item in found.values()):
        return LOOKAHEAD_STATUS
    return 0


def _check_lookahead(strategy: Any, universe: Mapping[str, Any], results: Mapping[str, Any],
                     progress: Progress) -> dict[str, Any]:
    """Each symbol's look-ahead finding (None where the strategy passed),
    with a warning for each one that used later bars."""
    from quorvane.lookahead import find_lookahead

    found = {}
    for symbol, bars in universe.items():
        progress.note(f"checking {symbol} for look-ahead")
        found[symbol] = find_lookahead(strategy.generate_signals, bars,
                                       results[symbol].positions.to_numpy())
        if found[symbol] is not None:
            warn_lookahead(symbol if len(universe) > 1 else None, found[symbol])
    return found


def _say(args: argparse.Namespace, out: IO[str], line: str) -> None:
    # With --json, standard output holds the one JSON object and nothing else.
    print(line, file=sys.stderr if args.json else out)


def _warn_if_idle(strategy: object, symbol: str, bars: Any, result: Any) -> None:
    if result.positions.to_numpy().any():
        return
    warm_up = getattr(strategy, "warm_up", None)
    if isinstance(warm_up, int) and warm_up >= len(bars):
        _warn(f"{symbol}: the warm-up of {describe(strategy)} is {warm_up:,} bars, not shorter "
              f"than the {len(bars):,} bars of data: it never takes a position")
    else:
        _warn(f"{symbol}: {describe(strategy)} never takes a position "
              "(every target position is 0)")


def _report(strategy: object, label: str, universe: Mapping[str, Any],
            results: Mapping[str, Any], combined: Any, benchmark_label: str,
            found: Mapping[str, Any] | None) -> dict[str, object]:
    """The JSON object of a run (the table shows the same).  ``lookahead``
    is null when the check passed and absent when it was skipped."""
    def span(index: Any) -> dict[str, object]:
        return {"bars": len(index), "start": when(index[0]), "end": when(index[-1])}

    main = combined if combined is not None else next(iter(results.values()))
    report: dict[str, object] = {
        "strategy": type(strategy).__name__,
        "params": {key: plain(value) for key, value in (strategy_params(strategy) or {}).items()},
        "data": label,
        **span(main.equity.index),
        "account": main.options.as_dict(),
        "benchmark": benchmark_label,
        "stats": main.stats,
    }
    if found is not None:
        # The first symbol that used later bars, named when there are several.
        first = next(((symbol, item) for symbol, item in found.items() if item is not None),
                     None)
        report["lookahead"] = None if first is None else (
            lookahead_json(first[1]) if combined is None
            else {"symbol": first[0], **(lookahead_json(first[1]) or {})})
    if combined is not None:
        report["per_symbol"] = {
            symbol: {**span(result.equity.index), "stats": result.stats,
                     **({} if found is None else {"lookahead": lookahead_json(found[symbol])})}
            for symbol, result in results.items()}
    return report


def _print_table(title: str, report: Mapping[str, Any], results: Mapping[str, Any],
                 combined: Any, args: argparse.Namespace, out: IO[str]) -> None:
    from quorvane.stats import DESCRIPTIONS
    main = combined if combined is not None else next(iter(results.values()))
    symbols = list(results)
    held = symbols[0] if len(symbols) == 1 else f"{len(symbols)} symbols, equal weight"
    print(f"strategy:   {title}", file=out)
    print(f"data:       {report['data']}: {held}, {report['bars']:,} bars, "
          f"{report['start']} to {report['end']}", file=out)
    print(f"costs:      {main.options.describe_costs()}", file=out)
    print(f"fills:      {main.options.describe_fills()}", file=out)
    print(f"annualised: {main.stats['bars_per_year']:,} bars a year "
          f"({main.bars_per_year_reason})", file=out)
    benchmark = "equal-weight buy-and-hold" if args.benchmark is None else args.benchmark
    print(f"benchmark:  {benchmark}", file=out)
    print(f"look-ahead: {_lookahead_words(report)}", file=out)
    print(file=out)
    stats = main.stats
    width = max(len(name) for name in stats)
    values = {name: format_stat(name, value) for name, value in stats.items()}
    value_width = max(len(text) for text in values.values())
    for name, text in values.items():
        if name == "bars_per_year":
            continue
        print(f"{name:<{width}}  {text:>{value_width}}  {DESCRIPTIONS[name]}", file=out)
    if combined is not None:
        print(file=out)
        header = ["symbol", "bars", *_SYMBOL_COLUMNS]
        rows = [[symbol, f"{len(result.equity):,}",
                 *(format_stat(name, result.stats[name]) for name in _SYMBOL_COLUMNS)]
                for symbol, result in results.items()]
        for line in aligned([header, *rows]):
            print(line, file=out)


def _lookahead_words(report: Mapping[str, Any]) -> str:
    if "lookahead" not in report:
        return "not checked (--no-lookahead-check)"
    found = report["lookahead"]
    if found is None:
        return "none (positions unchanged on the first 1/4, 1/2 and 3/4 of the bars)"
    symbol = f"{found['symbol']}, " if "symbol" in found else ""
    return (f"USES LATER BARS ({symbol}row {found['row']:,}, {found['date']}): the figures "
            "cannot be trusted")


def trades_table(results: Mapping[str, Any], combined: Any) -> Any:
    """What ``--trades`` writes: the trades of the run (the portfolio's, with
    a symbol column, when several symbols run)."""
    return (combined if combined is not None else next(iter(results.values()))).trades


def equity_table(results: Mapping[str, Any], combined: Any) -> Any:
    """What ``--equity`` writes, one row per date: for one symbol its
    close, target position, units, cash, per-bar return, equity, drawdown and
    buy-and-hold; for a portfolio the return, equity, cash, drawdown,
    buy-and-hold and the units of each symbol (``units_SYMBOL``)."""
    import pandas as pd
    if combined is None:
        result = next(iter(results.values()))
        table = pd.DataFrame({
            "close": result.close, "position": result.positions, "units": result.units,
            "cash": result.cash, "return": result.returns, "equity": result.equity,
            "drawdown": result.drawdown, "buy_and_hold": result.buy_and_hold,
        })
    else:
        table = pd.DataFrame({
            "return": combined.returns, "equity": combined.equity, "cash": combined.cash,
            "drawdown": combined.drawdown, "buy_and_hold": combined.buy_and_hold,
        })
        units = combined.units.add_prefix("units_")
        table = pd.concat([table, units], axis=1)
    table.index.name = "date"
    return table


def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    run = commands.add_parser(
        "run", parents=[loading, common],
        help="backtest a strategy over bars and report its statistics",
        description="Backtest a strategy over bars and print its statistics. An account "
                    "starting with 1 in cash fills each target position when it changes, at "
                    "the close that decided it or at the next open, and holds the units until "
                    "the next fill or stop; every fill pays the costs. Several symbols share "
                    "one account, each target sized on 1/N of its equity. "
                    + _DESCRIPTION.split(". ", 1)[1])
    run.add_argument("--data", metavar="FILE|DIR",
                     help="the bars: a CSV or Parquet file with the columns date,open,high,"
                          "low,close,volume (any order and letter case; a symbol column for "
                          "several symbols), or a folder of such files, one per symbol "
                          "(default: the shipped synthetic sample)")
    add_account_options(run)
    add_lookahead_options(run)
    run.add_argument("--json", action="store_true",
                     help="print one JSON object instead of the table")
    run.add_argument("--trades", metavar="FILE",
                     help="write the round-trip trades to FILE.csv or FILE.parquet")
    run.add_argument("--equity", metavar="FILE",
                     help="write the equity curve (with positions, units, cash and drawdown) "
                          "to FILE.csv or FILE.parquet")
    run.add_argument("--plot", metavar="FILE.png",
                     help="draw the prices with the positions, the equity against buy-and-hold "
                          "and the drawdown into this file (.png, .svg, .pdf, ...; needs "
                          "matplotlib: pip install 'quorvane[plot]')")
    run.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                     help="progress lines on standard error: auto (the default) shows them "
                          "only for data of 1 MiB or more when standard error is a terminal")
    run.set_defaults(handler=cmd_run)
