"""``walkforward``: choose a combination of the grid on each train window,
judge it on the test window that follows, and report the stitched
out-of-sample result beside the overfitting figures of the whole sample."""

from __future__ import annotations

import argparse
import json
import sys
from typing import IO, Any

from quorvane.messages import when
from quorvane.stats import format_stat

from .formats import aligned, plain
from .judging import LOOKAHEAD_STATUS
from .options import CliError
from .sweep import add_search_options, report_lookahead, search_keywords, searching

__all__ = ["cmd_walkforward", "equity_table", "register"]

_SELECT = ("sharpe", "sortino", "total_return", "cagr")
# What the folds table shows beside the windows and the parameters.
_FOLD_FIGURES = ("score", "test_total_return", "test_sharpe")


def cmd_walkforward(args: argparse.Namespace, out: IO[str]) -> int:
    from quorvane import outputs
    from quorvane.walkforward.engine import walk_forward

    keywords = search_keywords(args)
    try:
        for option, path in (("--out", args.out), ("--equity", args.equity)):
            if path is not None:
                outputs.check_table(option, path)
        if args.plot is not None:
            outputs.check_plot("--plot", args.plot)
        outputs.check_distinct([("--out", args.out), ("--equity", args.equity),
                                ("--plot", args.plot)], outputs.data_inputs(args.data))
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None
    with searching(args) as (spec, class_name, loading):
        params = {**loading, **keywords.pop("params")}
        result = walk_forward(spec, class_name=class_name, params=params, train=args.train,
                              test=args.test, anchored=args.anchored, select=args.select,
                              **keywords)

    # The files first: a reader that leaves early (`| head`) must not cost them.
    written: list[str] = []
    try:
        if args.out is not None:
            outputs.write_table(result.folds, args.out, index=True)
            written.append(f"folds: {args.out}")
        if args.equity is not None:
            outputs.write_table(equity_table(result), args.equity, index=True)
            written.append(f"equity: {args.equity}")
        if args.plot is not None:
            figure = result.plot()
            outputs.write_file(args.plot, lambda path: figure.savefig(path, dpi=100))
            written.append(f"plot: {args.plot}")
    except outputs.OutputError as exc:
        raise CliError(str(exc)) from None
    findings = report_lookahead(result.lookahead) if result.lookahead is not None else None
    if args.json:
        document = _document(result)
        if findings is not None:
            document["lookahead"] = findings
        print(json.dumps(document, allow_nan=False), file=out)
    else:
        _print_report(args, result, out)
    for line in written:
        print(line, file=sys.stderr if args.json else out)
    if result.errors:
        print(f"warning: {len(result.errors)} of {len(result.combinations)} combinations failed "
              f"and were never chosen; the first: {result.errors[0][1]}", file=sys.stderr)
    if args.strict and findings and any(found is not None for found in findings.values()):
        return LOOKAHEAD_STATUS
    return 0


def _number(value: Any) -> float | None:
    value = float(value)
    return value if value == value and abs(value) != float("inf") else None


def _document(result: Any) -> dict[str, object]:
    """The JSON object of a walk-forward run."""
    folds = []
    for number, (window, params) in enumerate(zip(result.fold_windows, result.chosen)):
        row = result.folds.iloc[number]
        folds.append({
            "train_start": when(row["train_start"]), "train_end": when(row["train_end"]),
            "test_start": when(row["test_start"]), "test_end": when(row["test_end"]),
            "params": {key: plain(value) for key, value in params.items()},
            **{name: _number(row[name]) for name in _FOLD_FIGURES}})
    return {"folds": folds, "stats": result.stats, "efficiency": result.efficiency,
            "deflated_sharpe": result.deflated_sharpe, "pbo": result.pbo,
            "trials": result.trials}


def equity_table(result: Any) -> Any:
    """What ``--equity`` writes, one row per date of the test windows: the
    stitched per-bar return and equity, the fold, and the full-sample
    winner's equity."""
    import numpy as np
    import pandas as pd

    folds = np.concatenate([np.full(window.test_end - window.test_start, number)
                            for number, window in enumerate(result.fold_windows, start=1)])
    table = pd.DataFrame({"return": result.returns, "equity": result.equity, "fold": folds,
                          "winner_equity": result.winner_equity})
    table.index.name = "date"
    return table


def _print_report(args: argparse.Namespace, result: Any, out: IO[str]) -> None:
    anchored = ", anchored" if args.anchored else ""
    folds = result.folds
    train, test = (f"{length:,} bars" if isinstance(length, int) else str(length)
                   for length in (result.train, result.test))
    print(f"{args.spec}: walk-forward of {len(folds)} folds (train {train}, test "
          f"{test}{anchored}), each choosing the best {args.select} of "
          f"{result.trials} trials on its train window", file=out)
    keys = [name for name in folds.columns
            if name not in ("train_start", "train_end", "test_start", "test_end",
                            *_FOLD_FIGURES)]
    header = ["fold", "train", "test", *keys, *_FOLD_FIGURES]
    rows = [header]
    for number, row in folds.iterrows():
        rows.append([str(number), f"{when(row['train_start'])} to {when(row['train_end'])}",
                     f"{when(row['test_start'])} to {when(row['test_end'])}",
                     *(str(row[key]) for key in keys),
                     *(format_stat(name, _number(row[name])) for name in _FOLD_FIGURES)])
    for line in aligned(rows, left=(1, 2)):
        print(line, file=out)
    print(file=out)
    first, last = result.equity.index[0], result.equity.index[-1]
    print(f"out of sample, stitched ({when(first)} to {when(last)}, switching costs "
          "included):", file=out)
    figures = {**result.stats, "efficiency": result.efficiency,
               "deflated_sharpe": result.deflated_sharpe, "pbo": result.pbo}
    words = {"efficiency": "out-of-sample cagr / mean in-sample cagr of the chosen runs",
             "deflated_sharpe": f"of the full-sample winner among {result.trials} trials",
             "pbo": "probability of backtest overfitting of the full-sample sweep"}
    from quorvane.stats import DESCRIPTIONS
    width = max(len(name) for name in figures)
    for name, value in figures.items():
        print(f"  {name:<{width}}  {format_stat(name, value):>9}  "
              f"{words.get(name) or DESCRIPTIONS[name]}", file=out)
    winner = ", ".join(f"{key}={value!r}" for key, value in result.winner.items())
    print(f"full-sample winner (with hindsight): {winner or 'no parameters'}, total return "
          f"{format_stat('total_return', float(result.winner_equity.iloc[-1]) - 1)} over the "
          "same bars", file=out)


def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    walk = commands.add_parser(
        "walkforward", parents=[loading, common],
        help="choose parameters on each train window and judge them on the next test window",
        description="Backtest every combination of the --grid values once over all the "
                    "bars, choose in each fold the combination that scores best over its "
                    "train window, and stitch the chosen runs' test windows into one "
                    "out-of-sample result, switching costs included. Prints the folds, the "
                    "stitched statistics, the walk-forward efficiency and the overfitting "
                    "figures of the whole sample's sweep.")
    walk.add_argument("--train", metavar="LEN", required=True,
                      help="the train window: a number of bars (500) or a calendar length "
                           "(90d, 12w, 6m, 2y)")
    walk.add_argument("--test", metavar="LEN", required=True,
                      help="the test window, likewise; test windows follow each other")
    walk.add_argument("--anchored", action="store_true",
                      help="start every train window at the first bar")
    walk.add_argument("--select", choices=_SELECT, default="sharpe",
                      help="the score each fold chooses on, over its train window "
                           "(default: sharpe)")
    add_search_options(walk)
    walk.add_argument("--json", action="store_true",
                      help="print one JSON object instead of the report")
    walk.add_argument("--out", metavar="FILE",
                      help="write the folds table to FILE.csv or FILE.parquet")
    walk.add_argument("--equity", metavar="FILE",
                      help="write the stitched equity curve to FILE.csv or FILE.parquet")
    walk.add_argument("--plot", metavar="FILE.png",
                      help="draw the stitched equity against the full-sample winner's, test "
                           "windows shaded (needs matplotlib: the 'plot' extra)")
    walk.set_defaults(handler=cmd_walkforward)
