"""``run``: a strategy over bars, with its backtest and an optional plot."""

from __future__ import annotations

import argparse
import csv
import datetime
import logging
import math
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any

from quorvane.backtest import BacktestResult, backtest
from quorvane.bars import Bar, as_bar

from .options import _DESCRIPTION, CliError, class_path, describe, load_from_args

COLUMNS = ("date", "open", "high", "low", "close", "volume")
# Files at least this large are "long": --progress auto reports on them
# when standard output is a terminal.
LONG_FILE_BYTES = 1 << 20

# -- progress --------------------------------------------------------------------

class Progress:
    """Progress lines on standard output while a long input is read.

    On a terminal one line is rewritten in place; elsewhere (``--progress
    always`` into a pipe or file) a line is printed every 10%.
    """

    def __init__(self, out: IO[str], enabled: bool) -> None:
        self.out = out
        self.enabled = enabled
        self.tty = enabled and _isatty(out)
        self._shown = -1
        self._label = ""

    def start(self, label: str) -> None:
        self._label = label
        self._shown = -1

    def update(self, fraction: float) -> None:
        if not self.enabled:
            return
        step = 1 if self.tty else 10
        percent = min(100, int(fraction * 100)) // step * step
        if percent <= self._shown:
            return
        self._shown = percent
        if self.tty:
            self.out.write(f"\r{self._label}: {percent:3d}%")
            self.out.flush()
        else:
            print(f"{self._label}: {percent}%", file=self.out, flush=True)

    def note(self, message: str) -> None:
        if not self.enabled:
            return
        if self.tty and self._shown >= 0:
            self.out.write("\n")
            self._shown = -1
        print(message, file=self.out, flush=True)


def _isatty(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# -- reading bars -----------------------------------------------------------------

def _counting(lines: Iterable[str], total: int, progress: Progress) -> Iterator[str]:
    done = 0
    for line in lines:
        done += len(line)
        if total:
            progress.update(done / total)
        yield line


def read_bars(stream: Iterable[str], label: str, *, size: int = 0,
              progress: Progress | None = None) -> list[Bar]:
    """Bars from CSV text with a header line naming the columns date, open,
    high, low, close and volume (any order, any letter case, more columns
    allowed).  ``size`` is the length of the text, for progress."""
    progress = progress or Progress(sys.stdout, False)
    progress.start(f"reading {label}")
    reader = csv.DictReader(_counting(stream, size, progress))
    try:
        header = reader.fieldnames
    except csv.Error as exc:
        raise CliError(f"{label}: {exc}") from exc
    if not header:
        raise CliError(f"{label} is empty; expected a header line {','.join(COLUMNS)}")
    present = {str(name).strip().lower() for name in header}
    missing = [name for name in COLUMNS if name not in present]
    if missing:
        raise CliError(f"{label}: no column {', '.join(missing)} in the header line; "
                       f"expected {','.join(COLUMNS)}")
    bars = []
    try:
        for row in reader:
            try:
                bar = as_bar({str(key).strip(): value for key, value in row.items()})
            except (TypeError, ValueError) as exc:
                message = str(exc).removeprefix("bar: ")
                raise CliError(f"{label}, line {reader.line_num}: {message}") from exc
            bars.append(bar)
    except csv.Error as exc:
        raise CliError(f"{label}, line {reader.line_num}: {exc}") from exc
    if not bars:
        raise CliError(f"{label} holds no bars, only a header line")
    progress.update(1.0)
    progress.note(f"read {len(bars):,} bars from {label}")
    return bars


def parse_dates(bars: Sequence[Bar], label: str) -> list[datetime.datetime] | None:
    """The bars' dates as datetimes, checked to rise, or None when some date is
    not in ISO format (then the order is the file's and is not checked)."""
    dates = []
    for bar in bars:
        try:
            dates.append(datetime.datetime.fromisoformat(str(bar.date).strip()))
        except ValueError:
            return None
    try:
        for index in range(1, len(dates)):
            if not dates[index] > dates[index - 1]:
                raise CliError(
                    f"{label}: the date {bars[index].date} of bar {index + 1} does not come after "
                    f"{bars[index - 1].date}; bars must be in time order, one per date")
    except TypeError:  # dates with and without a time zone cannot be ordered
        return None
    return dates


def _open_data(path: str | None, progress: Progress,
               progress_mode: str) -> tuple[list[Bar], str]:
    if path is None:
        from quorvane.data import SAMPLE_NAME, sample_csv
        label = f"{SAMPLE_NAME} (shipped synthetic sample)"
        text = sample_csv().read_text(encoding="utf-8")
        return read_bars(text.splitlines(keepends=True), label), label
    try:
        size = os.stat(path).st_size
        stream = open(path, "r", encoding="utf-8-sig", newline="")
    except FileNotFoundError:
        raise CliError(f"data file not found: {path}") from None
    except IsADirectoryError:
        raise CliError(f"data file is a directory: {path}") from None
    except OSError as exc:
        raise CliError(f"cannot read data file {path}: {exc.strerror or exc}") from exc
    if progress_mode == "auto":
        progress.enabled = progress.tty = size >= LONG_FILE_BYTES and _isatty(progress.out)
    with stream:
        try:
            return read_bars(stream, path, size=size, progress=progress), path
        except UnicodeDecodeError as exc:
            raise CliError(f"{path} is not UTF-8 text ({exc.reason})") from exc


# -- plotting --------------------------------------------------------------------

_INSTALL_PLOT = ("--plot needs matplotlib, which is not installed: pip install matplotlib "
                 "(or install this package with its 'plot' extra: pip install '.[plot]')")


def _check_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CliError(_INSTALL_PLOT) from None


def plot(path: str, x: Sequence[object], closes: Sequence[float],
         result: BacktestResult, title: str) -> None:
    """Closing prices with entry and exit markers above, the equity curve below."""
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(11, 7), layout="constrained")
    FigureCanvasAgg(figure)
    prices, equity = figure.subplots(2, 1, sharex=True, height_ratios=[2, 1])
    prices.plot(x, closes, color="0.35", linewidth=1.0, label="close")
    markers = [
        (1, "^", "tab:green", "enter long"),
        (-1, "v", "tab:red", "enter short"),
        (0, "o", "black", "exit to flat"),
    ]
    changes = position_changes(result.positions)
    for side, marker, colour, name in markers:
        points = [change.index for change in changes if change.after == side]
        if points:
            prices.scatter([x[i] for i in points], [closes[i] for i in points], marker=marker,
                           s=40, color=colour, zorder=3, label=f"{name} ({len(points)})")
    prices.set_ylabel("close")
    prices.legend(loc="best", fontsize="small")
    prices.grid(alpha=0.3)
    equity.plot(x, result.equity, color="tab:blue", linewidth=1.2)
    equity.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
    equity.set_ylabel("equity (start = 1)")
    equity.grid(alpha=0.3)
    figure.suptitle(title)
    figure.savefig(path, dpi=100)


def cmd_run(args: argparse.Namespace, out: IO[str]) -> int:
    if args.plot is not None:
        _check_matplotlib()
    strategy = load_from_args(args)
    generate = getattr(strategy, "generate_signals", None)
    if not callable(generate):
        raise CliError(f"{class_path(type(strategy))} has no generate_signals(bars) method")

    progress = Progress(out, args.progress == "always")
    bars, label = _open_data(args.data, progress, args.progress)
    dates = parse_dates(bars, label)
    closes = [bar.close for bar in bars]
    progress.note(f"computing signals for {len(bars):,} bars")
    signals = generate(bars)
    progress.note("running the backtest")
    result = backtest(closes, signals)

    span = f", {bars[0].date} to {bars[-1].date}" if len(bars) > 1 else f", {bars[0].date}"
    print(f"strategy: {describe(strategy)}", file=out)
    print(f"data: {label}, {len(bars):,} bars{span}", file=out)
    print(f"signals: {result.long_bars} long, {result.flat_bars} flat, "
          f"{result.short_bars} short", file=out)
    print(f"trades: {result.trades}", file=out)
    print(f"total return: {_percent(result.total_return, signed=True)}", file=out)
    print(f"max drawdown: {_percent(result.max_drawdown)}", file=out)
    if args.plot is not None:
        x: Sequence[object] = dates if dates is not None else list(range(len(bars)))
        plot(args.plot, x, closes, result, f"{describe(strategy)} on {label}")
        print(f"plot: {args.plot}", file=out)
    return 0


def _percent(value: float, signed: bool = False) -> str:
    if not math.isfinite(value):
        return str(value)
    return f"{value * 100:+.2f}%" if signed else f"{value * 100:.2f}%"



def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    run = commands.add_parser("run", parents=[loading, common],
                              help="run a strategy over daily bars and report a simple backtest",
                              description="Run a strategy over daily bars and report its signals "
                                          "and a long/short backtest: the signal of a bar is the "
                                          "position held from its close to the next close. "
                                          + _DESCRIPTION.split(". ", 1)[1])
    run.add_argument("--data", metavar="FILE.csv",
                     help="bars with a header line date,open,high,low,close,volume "
                          "(default: the shipped synthetic sample)")
    run.add_argument("--plot", metavar="FILE.png",
                     help="also draw the closes with entries and exits and the equity curve "
                          "into this file (needs matplotlib: the 'plot' extra)")
    run.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                     help="progress lines while reading: auto (the default) shows them only "
                          "for a file of 1 MiB or more when standard output is a terminal")
    run.set_defaults(handler=cmd_run)
