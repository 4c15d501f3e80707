"""How the command line writes figures and dates: one rule for ``run``'s
table, ``sweep``'s and ``walkforward``'s, and their JSON."""

from __future__ import annotations

import json
import math
from typing import Any

__all__ = ["PERCENT", "aligned", "format_stat", "plain", "when"]

# Statistics shown as percentages; the signed ones with their sign.
PERCENT = frozenset({"total_return", "cagr", "volatility", "max_drawdown", "exposure",
                     "win_rate", "avg_trade_return", "best_trade_return", "worst_trade_return",
                     "buy_and_hold_return", "alpha", "costs", "test_total_return"})
# Probabilities, shown as such.
_PROBABILITIES = frozenset({"deflated_sharpe", "pbo"})
_SIGNED = frozenset({"total_return", "cagr", "avg_trade_return", "best_trade_return",
                     "worst_trade_return", "buy_and_hold_return", "alpha", "test_total_return"})


def format_stat(name: str, value: object) -> str:
    """A statistic as the tables show it: percentages for returns and
    shares, two decimals for ratios, ``n/a`` where it is undefined."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{value:,}"
    if not isinstance(value, float):
        return str(value)
    if not math.isfinite(value):
        return str(value)
    if name in PERCENT:
        return f"{value * 100:+.2f}%" if name in _SIGNED else f"{value * 100:.2f}%"
    if name == "avg_trade_bars":
        return f"{value:,.1f}"
    if name in _PROBABILITIES:
        return f"{value:.4f}"
    return f"{value:,.2f}" if name == "turnover" else f"{value:.2f}"


def when(stamp: Any) -> str:
    """A date as the JSON and the tables write it: the day alone at
    midnight, else the ISO date and time."""
    if stamp.hour == stamp.minute == stamp.second == stamp.microsecond == 0 \
            and stamp.nanosecond == 0:
        return str(stamp.date().isoformat())
    return str(stamp.isoformat())


def plain(value: object) -> object:
    """``value`` if JSON can hold it as it is, else its repr."""
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError, RecursionError):
        return repr(value)
    return value


def aligned(rows: list[list[str]], left: tuple[int, ...] = (0,)) -> list[str]:
    """Rows of cells as lines of a table: the columns numbered in ``left``
    to the left, the others to the right, two blanks between."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(widths[i]) if i in left else cell.rjust(widths[i])
                      for i, cell in enumerate(row)).rstrip() for row in rows]
