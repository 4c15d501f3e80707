"""``sweep``: backtest a strategy over a grid of parameters and over symbols,
and judge the search: the overfitting figures of each symbol.

The options a search shares with ``walkforward`` (the grid, the data, the
account, the engine, the look-ahead check) are defined here once."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any

from quorvane.sources import SeveralStrategyClassesError

from .judging import (LOOKAHEAD_STATUS, add_lookahead_options, lookahead_json,
                      overfitting_lines, warn_lookahead)
from .options import (CliError, _whole, account_keywords, add_account_options, parse_params,
                      parse_symbols, resolve_from_args, several_classes)

__all__ = ["add_search_options", "cmd_sweep", "register", "search_keywords", "searching"]


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {text!r}")
    return value


def _blocks(text: str) -> int:
    value: int = _whole(2)(text)
    if value % 2:
        raise argparse.ArgumentTypeError(f"expected an even number, got {text!r}")
    return value


def add_search_options(parser: argparse.ArgumentParser) -> None:
    """The options of a search over a grid: ``--grid``, ``--data``, the
    account's, ``--jobs``, ``--dask``, ``--pbo-blocks``, ``--min-trades``
    and the look-ahead check's."""
    parser.add_argument("--grid", metavar="KEY=VALUES", action="append", required=True,
                        help="values of one parameter: a comma list read as --param values "
                             "(10,20,50 or 0.5,1.0 or 'a','b') or an integer range "
                             "START:STOP:STEP, STOP included when reached (5:100:5). Repeat "
                             "for more parameters: every combination runs. stop_loss, "
                             "take_profit and trailing_stop vary the account's stops "
                             "(0.01,0.02,None).")
    parser.add_argument("--data", metavar="FILE|DIR",
                        help="bars: a CSV or Parquet file, or a folder of per-symbol files "
                             "(default: the shipped sample)")
    add_account_options(parser)
    parser.add_argument("--jobs", metavar="N", type=_count,
                        help="worker processes (default: the number of cores; 1 runs in this "
                             "process); with --dask local, the number of Dask workers")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="compute on the Dask cluster whose scheduler listens at ADDRESS "
                             "(tcp://host:8786), or on a cluster started for the run on this "
                             "machine with 'local' (needs the 'dask' extra)")
    parser.add_argument("--pbo-blocks", metavar="S", type=_blocks, default=16,
                        help="blocks of bars of the probability of backtest overfitting "
                             "(even; default 16)")
    parser.add_argument("--min-trades", metavar="N", type=_count, default=0,
                        help="keep rows with fewer than N trades out of the ranking and of "
                             "the overfitting figures (they stay in the table, marked)")
    add_lookahead_options(parser)


def search_keywords(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of ``quorvane.sweep`` and ``quorvane.walk_forward`` that
    :func:`add_search_options` and the loading options give."""
    from quorvane.sweeps import GridError
    from quorvane.sweeps.grid import parse_grid

    try:
        grid = parse_grid(args.grid)
    except GridError as exc:
        raise CliError(str(exc)) from None
    params = parse_params(args.param)
    symbols = parse_symbols(args.symbols)
    if args.jobs is not None and args.jobs < 1:
        raise CliError("--jobs expects 1 or more")
    if args.dask is not None and args.dask != "local" and args.jobs is not None:
        raise CliError("--jobs sets the local processes or the workers of --dask local; "
                       "a running cluster has the workers it has")
    return {"grid": grid, "data": args.data, "symbols": symbols, "params": params,
            **account_keywords(args), "jobs": args.jobs, "dask": args.dask,
            "pbo_blocks": args.pbo_blocks, "min_trades": args.min_trades,
            "lookahead_check": args.lookahead_check}


@contextmanager
def searching(args: argparse.Namespace
              ) -> Iterator[tuple[str, str | None, dict[str, object]]]:
    """The strategy as a search loads it: ``(spec, class_name, keywords)``,
    the keywords of a strategy folder's entry among them; the search's own
    errors become one line."""
    from quorvane.sweeps import DaskUnavailable, SweepError, WorkerCrashed

    spec, keywords = resolve_from_args(args)
    class_name = keywords.pop("class_name", None)
    assert class_name is None or isinstance(class_name, str)
    try:
        yield spec, class_name, keywords
    except (SweepError, DaskUnavailable, WorkerCrashed) as exc:
        if isinstance(exc.__cause__, SeveralStrategyClassesError):
            raise several_classes(exc.__cause__) from None
        raise CliError(str(exc)) from None


def report_lookahead(findings: dict[str, Any]) -> dict[str, object] | None:
    """Warn of each symbol whose first combination used later bars; the
    findings as JSON."""
    for symbol, found in findings.items():
        if found is not None:
            warn_lookahead(symbol, found)
    return {symbol: lookahead_json(found) for symbol, found in findings.items()}


def cmd_sweep(args: argparse.Namespace, out: IO[str]) -> int:
    from quorvane import outputs
    from quorvane.sweeps import sweep

    from . import sweep_report as report

    keywords = search_keywords(args)
    grid = keywords["grid"]
    if args.json and args.out == "-":
        raise CliError("--json and --out - both write to standard output; choose one")
    try:
        if args.out is not None:
            outputs.check_table("--out", args.out, stdout=True)
        if args.plot is not None:
            report.check_plot(args.plot, len(grid))
        outputs.check_distinct([("--out", args.out), ("--plot", args.plot)],
                               outputs.data_inputs(args.data))
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None
    with searching(args) as (spec, class_name, loading):
        params = {**loading, **keywords.pop("params")}
        frame = sweep(spec, class_name=class_name, params=params, sort=args.sort,
                      ascending=args.ascending, **keywords)

    failed = int(frame["error"].notna().sum())
    order = "ascending" if args.ascending else "descending"
    symbols_count = frame["symbol"].nunique()
    combos = len(frame) // max(1, symbols_count)
    # With --out -, standard output holds the CSV alone, for the program it
    # is piped to; what a person reads goes to standard error.
    report_to = sys.stderr if args.out == outputs.STDOUT else out
    # The files first: a reader that leaves early (`| head`) must not cost them.
    written: list[str] = []
    try:
        if args.out is not None:
            outputs.write_table(frame, args.out)
            if args.out != outputs.STDOUT:
                written.append(f"rows: {args.out}")
        if args.plot is not None:
            title = f"{args.sort} of {args.spec}"
            outputs.write_file(args.plot, lambda path: report.plot(frame, list(grid), args.sort,
                                                                   path, title))
            written.append(f"plot: {args.plot}")
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None
    findings = report_lookahead(frame.attrs.get("lookahead", {}))
    overfitting = frame.attrs["overfitting"]
    if args.json:
        document: dict[str, object] = {"rows": report.json_rows(frame),
                                       "overfitting": overfitting}
        if args.lookahead_check:
            document["lookahead"] = findings
        print(json.dumps(document, allow_nan=False), file=out)
        report_to = sys.stderr  # standard output holds the JSON alone
    else:
        print(f"{args.spec}: {_plural(len(frame), 'row')} ({_plural(symbols_count, 'symbol')} x "
              f"{_plural(combos, 'combination')}), sorted by {args.sort} ({order})",
              file=report_to)
        if args.top:
            print(report.top_table(frame, list(grid), args.sort, args.top), file=report_to)
        print(file=report_to)
        print("overfitting of the search (see 'Judging a strategy' in the docs):",
              file=report_to)
        for line in overfitting_lines(overfitting):
            print(f"  {line}", file=report_to)
    for line in written:
        print(line, file=report_to)
    if failed:
        first = frame["error"].dropna().iloc[0]
        print(f"warning: {failed} of {len(frame)} rows failed; the first: {first}",
              file=sys.stderr)
    # Not one row computed is a failure, whatever the table shows.
    if failed == len(frame):
        return 1
    if args.strict and any(found is not None for found in (findings or {}).values()):
        return LOOKAHEAD_STATUS
    return 0


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    sweep = commands.add_parser(
        "sweep", parents=[loading, common],
        help="backtest a strategy over a grid of parameters and over symbols",
        description="Backtest a strategy once per combination of the --grid values and per "
                    "symbol of the data (and, with several symbols, their equal-weight "
                    "portfolio), locally on several processes or on a Dask cluster. Prints "
                    "the best rows and the overfitting figures of the search; --out writes "
                    "every row.")
    add_search_options(sweep)
    sweep.add_argument("--sort", metavar="METRIC", default="sharpe",
                       help="the statistic (or parameter) to sort by, best first "
                            "(default: sharpe); failed rows come last")
    sweep.add_argument("--ascending", action="store_true",
                       help="sort smallest first (for max_drawdown, say)")
    sweep.add_argument("--top", metavar="K", type=_count, default=10,
                       help="rows to print (default: 10; 0 prints none)")
    sweep.add_argument("--json", action="store_true",
                       help="print one JSON object {\"rows\": [...], \"overfitting\": {...}, "
                            "\"lookahead\": {...}} instead of the table")
    sweep.add_argument("--out", metavar="FILE",
                       help="write every row to FILE.csv or FILE.parquet, or as CSV to "
                            "standard output with '-' (the summary and the best rows then go "
                            "to standard error)")
    sweep.add_argument("--plot", metavar="FILE.png",
                       help="draw the sort metric over the grid: a line for one parameter, a "
                            "heatmap for two (needs matplotlib: the 'plot' extra)")
    sweep.set_defaults(handler=cmd_sweep)
