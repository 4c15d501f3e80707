"""What ``run``, ``sweep`` and ``walkforward`` say about a result's honesty:
the look-ahead check's options and warning, and the overfitting figures of a
search as text and JSON."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping
from typing import Any

from quorvane.messages import when
from quorvane.stats import format_stat

from .formats import aligned

__all__ = ["LOOKAHEAD_STATUS", "add_lookahead_options", "lookahead_json", "overfitting_lines",
           "warn_lookahead"]

# The exit status of --strict when a strategy used later bars.
LOOKAHEAD_STATUS = 3


def add_lookahead_options(parser: argparse.ArgumentParser) -> None:
    """``--no-lookahead-check`` and ``--strict``, as every command that
    backtests takes them."""
    parser.add_argument("--no-lookahead-check", dest="lookahead_check", action="store_false",
                        help="skip the look-ahead check (the strategy run again on the first "
                             "quarter, half and three quarters of the bars, which costs about "
                             "1.5 times the strategy's own time)")
    parser.add_argument("--strict", action="store_true",
                        help="exit with status 3 when the look-ahead check finds that the "
                             "strategy used later bars (the results are printed all the same)")


def lookahead_json(found: Any) -> dict[str, object] | None:
    """The look-ahead check's finding as JSON: ``{"row": ..., "date": ...}``,
    or None for a strategy that passed."""
    if found is None:
        return None
    return {"row": int(found.row), "date": when(found.date)}


def warn_lookahead(symbol: str | None, found: Any) -> None:
    """The warning on standard error for a strategy that used later bars."""
    where = f"{symbol}: " if symbol else ""
    print(f"warning: {where}look-ahead: the position at row {found.row:,} "
          f"({when(found.date)}) changed when the bars after it were taken away: the "
          "strategy uses later bars, and its figures cannot be trusted", file=sys.stderr,
          flush=True)


def overfitting_lines(figures: Mapping[str, Mapping[str, object]]) -> list[str]:
    """The overfitting figures of a sweep as an aligned table: one line per
    symbol (and the portfolio), after a header."""
    header = ["symbol", "trials", "deflated_sharpe", "pbo"]
    rows = [[symbol, format_stat("trials", item["trials"]),
             format_stat("deflated_sharpe", item["deflated_sharpe"]),
             format_stat("pbo", item["pbo"])] for symbol, item in figures.items()]
    return aligned([header, *rows])
