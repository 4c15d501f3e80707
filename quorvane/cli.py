"""The command line, ``python -m quorvane``: list, load and run strategies.

Everything it prints goes to standard output; an error is one line on
standard error and exit status 2 (the full traceback only with
``--traceback``).  It writes no file except the plot the user names: no
bytecode cache for a strategy file, no log.
"""

from __future__ import annotations

import argparse
import ast
import csv
import datetime
import logging
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import IO, Any, NoReturn

from quorvane import __version__
from quorvane.backtest import BacktestResult, backtest, position_changes
from quorvane.bars import Bar, as_bar

__all__ = ["main"]

COLUMNS = ("date", "open", "high", "low", "close", "volume")
# Files at least this large are "long": --progress auto reports on them
# when standard output is a terminal.
LONG_FILE_BYTES = 1 << 20
# Keyword names the loader binds itself; the command line has its own
# options for them.
_RESERVED_PARAMS = {
    "strategy_spec": "the strategy is the SPEC argument",
    "symbols": "use --symbols A,B",
    "class_name": "use --class-name NAME",
}

_SPEC_HELP = (
    "the strategy: a built-in name (see the list command), the path of a .py "
    "file, or a module path such as package.module.ClassName. A file or module "
    "is imported and its code runs: only name code you trust."
)
_DESCRIPTION = (
    "List, load and run quorvane strategies. Loading a strategy from a .py file "
    "or a module path executes that code with your permissions: never pass a "
    "specification that came from someone you do not trust."
)


class CliError(Exception):
    """A mistake in the command line or in its input, reported as it stands."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block plus message.
        raise CliError(f"{message} (see {self.prog} --help)")


# -- turning options into loader arguments -------------------------------------

def parse_value(text: str) -> object:
    """``text`` as a Python literal (20, 0.5, True, None, 'x', [1, 2]) where it
    is one, else the text itself."""
    try:
        return ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return text


def parse_params(items: Sequence[str]) -> dict[str, object]:
    """The ``--param KEY=VALUE`` options as keyword arguments, in their order."""
    params: dict[str, object] = {}
    for item in items:
        key, sep, raw = item.partition("=")
        key = key.strip()
        if not sep or not key:
            raise CliError(f"--param expects KEY=VALUE, got {item!r}")
        if not key.isidentifier():
            raise CliError(f"--param {key!r}: a parameter name must be a Python identifier")
        if key in _RESERVED_PARAMS:
            raise CliError(f"--param {key}: {_RESERVED_PARAMS[key]}")
        if key in params:
            raise CliError(f"--param {key} is given more than once")
        params[key] = parse_value(raw)
    return params


def parse_symbols(text: str | None) -> list[str] | None:
    """``--symbols A,B`` as ['A', 'B']; None when the option is absent."""
    if text is None:
        return None
    symbols = [part.strip() for part in text.split(",")]
    if not all(symbols):
        raise CliError(f"--symbols expects ticker symbols separated by commas, got {text!r}")
    return symbols


def load_from_args(args: argparse.Namespace) -> Any:
    """Load the strategy that the options name, through ``load_strategy``."""
    keywords: dict[str, object] = {}
    # Passed only when given: a built-in strategy's constructor would refuse it.
    if args.class_name is not None:
        keywords["class_name"] = args.class_name
    keywords.update(parse_params(args.param))
    symbols = parse_symbols(args.symbols)
    return _loader().load_strategy(args.spec, symbols=symbols, **keywords)


def _loader() -> Any:
    try:
        import quorvane.strategy_loader as loader
    except ModuleNotFoundError as exc:
        if exc.name != "quorvane.strategy_loader":
            raise
        raise CliError("the compiled module quorvane.strategy_loader is missing: "
                       "install the package (pip install .) and run it from there") from exc
    return loader


# -- describing strategies -------------------------------------------------------

def first_doc_line(cls: type) -> str:
    """The first line of the class's own docstring (not one it inherits)."""
    doc = cls.__dict__.get("__doc__")
    if not isinstance(doc, str) or not doc.strip():
        return "(no description)"
    return doc.strip().splitlines()[0].strip()


def class_path(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


def strategy_params(strategy: object) -> Mapping[str, object] | None:
    params = getattr(strategy, "params", None)
    return params if isinstance(params, Mapping) else None


def describe(strategy: object) -> str:
    """``ClassName(key=value, ...)`` from the strategy's ``params``."""
    params = strategy_params(strategy) or {}
    inner = ", ".join(f"{key}={value!r}" for key, value in params.items())
    return f"{type(strategy).__name__}({inner})"


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


# -- the subcommands ---------------------------------------------------------------

def cmd_list(args: argparse.Namespace, out: IO[str]) -> int:
    loader = _loader()
    rows = []
    for name in loader.list_strategies():
        cls = loader.BUILTIN_STRATEGIES[name]
        rows.append((name, cls.__qualname__, first_doc_line(cls)))
    name_width = max((len(row[0]) for row in rows), default=0)
    class_width = max((len(row[1]) for row in rows), default=0)
    for name, cls_name, doc in rows:
        print(f"{name:<{name_width}}  {cls_name:<{class_width}}  {doc}", file=out)
    return 0


def cmd_load(args: argparse.Namespace, out: IO[str]) -> int:
    strategy = load_from_args(args)
    print(f"class: {class_path(type(strategy))}", file=out)
    symbols = getattr(strategy, "symbols", None)
    if isinstance(symbols, list):
        print(f"symbols: {', '.join(map(str, symbols)) if symbols else '(none)'}", file=out)
    else:
        print("symbols: (not used by this strategy)", file=out)
    params = strategy_params(strategy)
    if params is None:
        print("parameters: (the strategy keeps no params dict)", file=out)
    elif not params:
        print("parameters: (none)", file=out)
    else:
        print("parameters:", file=out)
        for key, value in params.items():
            print(f"  {key} = {value!r}", file=out)
    return 0


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


# -- the parser and main ---------------------------------------------------------------

def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description=_DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"quorvane {__version__}")
    parser.add_argument("--traceback", action="store_true",
                        help="on an error, print the full traceback instead of one line")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    # The subcommands accept --traceback too; SUPPRESS keeps them from
    # overwriting a --traceback given before the subcommand.
    common = _Parser(add_help=False)
    common.add_argument("--traceback", action="store_true", default=argparse.SUPPRESS,
                        help="on an error, print the full traceback instead of one line")

    loading = _Parser(add_help=False)
    loading.add_argument("spec", metavar="SPEC", help=_SPEC_HELP)
    loading.add_argument("--symbols", metavar="A,B",
                         help="ticker symbols, separated by commas (used by Strategy subclasses)")
    loading.add_argument("--class-name", metavar="NAME",
                         help="the class to take from a strategy file holding several")
    loading.add_argument("--param", metavar="KEY=VALUE", action="append", default=[],
                         help="a keyword argument for the strategy; VALUE is read as a Python "
                              "literal (20, 0.5, True, 'text') where it is one, else as text. "
                              "Repeat for more.")

    listing = commands.add_parser("list", parents=[common], help="list the registered strategies",
                                  description="List every registered strategy name with its "
                                              "class and the first line of its description.")
    listing.set_defaults(handler=cmd_list)

    load = commands.add_parser("load", parents=[loading, common],
                               help="load a strategy and show its class and parameters",
                               description="Load a strategy and print its class and parameters. "
                                           + _DESCRIPTION.split(". ", 1)[1])
    load.set_defaults(handler=cmd_load)

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
    return parser


def _one_line(exc: BaseException) -> str:
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _warning_to_stdout(message: Warning | str, category: type[Warning], filename: str,
                       lineno: int, file: object = None, line: str | None = None) -> None:
    print(f"warning: {category.__name__}: {message}", file=sys.stdout)


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command line; return the exit status."""
    parser = build_parser(prog or os.path.basename(sys.argv[0]) or "quorvane")
    saved = sys.dont_write_bytecode, warnings.showwarning
    # A strategy file would otherwise leave a __pycache__ beside it.
    sys.dont_write_bytecode = True
    warnings.showwarning = _warning_to_stdout
    show_traceback = False
    try:
        try:
            args = parser.parse_args(argv)
        except CliError as exc:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
            return 2
        show_traceback = args.traceback
        handler: Callable[[argparse.Namespace, IO[str]], int] = args.handler
        try:
            return handler(args, sys.stdout)
        except SystemExit as exc:
            # Strategy code that exits must not pass for a finished run.
            raise RuntimeError(f"the strategy code called sys.exit({exc.code!r})") from exc
    except CliError as exc:
        if show_traceback:
            import traceback
            traceback.print_exc()
        else:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): nothing left to tell anyone.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:
        if show_traceback:
            import traceback
            traceback.print_exc()
        else:
            print(f"{parser.prog}: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    finally:
        sys.dont_write_bytecode, warnings.showwarning = saved
