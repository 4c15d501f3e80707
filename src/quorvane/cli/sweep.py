"""``sweep``: backtest a strategy over a grid of parameters and over symbols."""

from __future__ import annotations

import argparse
import sys
from typing import IO, Any

from quorvane.sources import SeveralStrategyClassesError

from .options import (CliError, account_keywords, add_account_options, parse_params, parse_symbols,
                      resolve_from_args, several_classes)


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {text!r}")
    return value


def cmd_sweep(args: argparse.Namespace, out: IO[str]) -> int:
    from quorvane.sweeps import DaskUnavailable, GridError, SweepError, WorkerCrashed, sweep
    from quorvane.sweeps import report
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
    from quorvane import outputs
    try:
        if args.out is not None:
            outputs.check_table("--out", args.out, stdout=True)
        if args.plot is not None:
            report.check_plot(args.plot, len(grid))
        outputs.check_distinct([("--out", args.out), ("--plot", args.plot)],
                               outputs.data_inputs(args.data))
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None
    spec, keywords = resolve_from_args(args)
    class_name = keywords.pop("class_name", None)
    assert class_name is None or isinstance(class_name, str)
    try:
        frame = sweep(spec, grid, args.data, symbols=symbols, params={**keywords, **params},
                      class_name=class_name, **account_keywords(args), jobs=args.jobs,
                      dask=args.dask, sort=args.sort, ascending=args.ascending)
    except (SweepError, DaskUnavailable, WorkerCrashed) as exc:
        if isinstance(exc.__cause__, SeveralStrategyClassesError):
            raise several_classes(exc.__cause__) from None
        raise CliError(str(exc)) from None

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
    print(f"{args.spec}: {_plural(len(frame), 'row')} ({_plural(symbols_count, 'symbol')} x "
          f"{_plural(combos, 'combination')}), sorted by {args.sort} ({order})", file=report_to)
    if args.top:
        print(report.top_table(frame, list(grid), args.sort, args.top), file=report_to)
    for line in written:
        print(line, file=report_to)
    if failed:
        first = frame["error"].dropna().iloc[0]
        print(f"warning: {failed} of {len(frame)} rows failed; the first: {first}",
              file=sys.stderr)
    # Not one row computed is a failure, whatever the table shows.
    return 1 if failed == len(frame) else 0


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    sweep = commands.add_parser(
        "sweep", parents=[loading, common],
        help="backtest a strategy over a grid of parameters and over symbols",
        description="Backtest a strategy once per combination of the --grid values and per "
                    "symbol of the data, locally on several processes or on a Dask cluster. "
                    "Prints the best rows; --out writes them all.")
    sweep.add_argument("--grid", metavar="KEY=VALUES", action="append", required=True,
                       help="values of one parameter: a comma list read as --param values "
                            "(10,20,50 or 0.5,1.0 or 'a','b') or an integer range "
                            "START:STOP:STEP, STOP included when reached (5:100:5). Repeat "
                            "for more parameters: the sweep runs every combination. "
                            "stop_loss, take_profit and trailing_stop vary the account's "
                            "stops (0.01,0.02,None).")
    sweep.add_argument("--data", metavar="FILE|DIR",
                       help="bars: a CSV or Parquet file, or a folder of per-symbol files "
                            "(default: the shipped sample)")
    add_account_options(sweep)
    sweep.add_argument("--jobs", metavar="N", type=_count,
                       help="worker processes (default: the number of cores; 1 runs in this "
                            "process); with --dask local, the number of Dask workers")
    sweep.add_argument("--dask", metavar="ADDRESS",
                       help="compute on the Dask cluster whose scheduler listens at ADDRESS "
                            "(tcp://host:8786), or on a cluster started for the run on this "
                            "machine with 'local' (needs the 'dask' extra)")
    sweep.add_argument("--sort", metavar="METRIC", default="sharpe",
                       help="the statistic (or parameter) to sort by, best first "
                            "(default: sharpe); failed rows come last")
    sweep.add_argument("--ascending", action="store_true",
                       help="sort smallest first (for max_drawdown, say)")
    sweep.add_argument("--top", metavar="K", type=_count, default=10,
                       help="rows to print (default: 10; 0 prints none)")
    sweep.add_argument("--out", metavar="FILE",
                       help="write every row to FILE.csv or FILE.parquet, or as CSV to "
                            "standard output with '-' (the summary and the best rows then go "
                            "to standard error)")
    sweep.add_argument("--plot", metavar="FILE.png",
                       help="draw the sort metric over the grid: a line for one parameter, a "
                            "heatmap for two (needs matplotlib: the 'plot' extra)")
    sweep.set_defaults(handler=cmd_sweep)
