"""The statistics of a backtest, from the equity curve and the account's sums.

The per-bar arrays they are defined on (returns, the benchmark's returns,
the drawdown) are here as functions over whole arrays; the statistics
themselves take their sums from one compiled pass over the equity
(:func:`curve_figures`), which needs none of those arrays.  The
definitions are written out in ``docs/backtest.rst``; the one-line
descriptions in :data:`DESCRIPTIONS` are what the command line's table shows.
A statistic that is undefined for the run at hand (a Sharpe ratio without
any volatility, trade figures without a trade) is ``None``, which JSON
writes as ``null``.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from quorvane import _kernels

# Where the bars of a year come from; imported from here as well.
from .data.calendar import infer_bars_per_year

__all__ = ["DESCRIPTIONS", "CurveFigures", "bar_returns", "benchmark_figures", "buy_and_hold",
           "curve_figures", "drawdown", "format_stat", "infer_bars_per_year", "statistics", "trade_figures"]

# Name -> what it measures.  The order is the order of the table and of the
# JSON object.
DESCRIPTIONS: dict[str, str] = {
    "total_return": "final equity / starting equity - 1",
    "cagr": "compound annual growth rate",
    "volatility": "annualised standard deviation of the per-bar returns",
    "sharpe": "annualised mean per-bar return / its standard deviation",
    "sortino": "annualised mean per-bar return / downside deviation",
    "calmar": "cagr / max_drawdown",
    "max_drawdown": "largest fall of equity from an earlier high",
    "max_drawdown_bars": "longest run of bars below an earlier high",
    "exposure": "share of dates with units held at the close",
    "trades": "round trips, the open one included",
    "fills": "fills, stop exits included",
    "win_rate": "share of trades with a pnl above 0",
    "profit_factor": "pnl of the winning trades / that of the losing ones",
    "avg_trade_return": "mean trade return (pnl / value entered)",
    "best_trade_return": "best trade return",
    "worst_trade_return": "worst trade return",
    "avg_trade_bars": "mean closes a trade is held",
    "buy_and_hold_return": "equal-weight buy-and-hold of the symbols",
    "beta": "beta of the per-bar returns to the benchmark's",
    "alpha": "annualised return beyond beta x the benchmark's",
    "correlation": "correlation of the per-bar returns with the benchmark's",
    "turnover": "sum over fills of the value traded / equity",
    "costs": "commission and slippage paid, in starting equity",
    "bars_per_year": "bars per year used to annualise",
}

# How a statistic is shown: as a percentage (with its sign where the sign
# tells a gain from a loss), or as a plain number.
_PERCENT = {"total_return", "cagr", "volatility", "max_drawdown", "exposure", "win_rate",
            "avg_trade_return", "best_trade_return", "worst_trade_return",
            "buy_and_hold_return", "alpha", "costs", "test_total_return"}
_SIGNED = {"total_return", "cagr", "avg_trade_return", "best_trade_return",
           "worst_trade_return", "buy_and_hold_return", "alpha", "test_total_return"}
# Probabilities (docs/judging.rst), shown as such.
_PROBABILITIES = {"deflated_sharpe", "pbo"}


def format_stat(name: str, value: object) -> str:
    """A statistic as the command line's table and a result's summary show
    it: ``+12.34%`` for a return, ``1.23`` for a ratio, ``1,234`` for a
    count, ``0.1234`` for a probability, ``n/a`` for None or NaN (a table's
    undefined figure)."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if isinstance(value, int):
        return f"{value:,}"
    assert isinstance(value, float)
    if not math.isfinite(value):
        return str(value)
    if name in _PERCENT:
        return f"{value * 100:+.2f}%" if name in _SIGNED else f"{value * 100:.2f}%"
    if name in _PROBABILITIES:
        return f"{value:.4f}"
    if name == "avg_trade_bars":
        return f"{value:,.1f}"
    return f"{value:,.2f}" if name == "turnover" else f"{value:.2f}"


# -- per-bar arrays ------------------------------------------------------------------

def bar_returns(curve: np.ndarray, start: float = 1.0) -> np.ndarray:
    """``curve[t] / curve[t - 1] - 1`` with ``curve[-1] = start``; 0 once the
    curve has reached 0 (0 / 0: a wiped-out account earns nothing more)."""
    returns = np.empty(curve.size)
    if curve.size:
        returns[0] = curve[0] / start - 1.0
        with np.errstate(divide="ignore", invalid="ignore"):
            np.divide(curve[1:], curve[:-1], out=returns[1:])
        returns[1:] -= 1.0
        if curve[-1] == 0.0:
            zero = int(np.argmax(curve == 0.0))
            returns[zero + 1:] = 0.0
    return returns


def drawdown(equity: np.ndarray) -> np.ndarray:
    """``equity[t] / high[t] - 1`` with the high the largest equity so far,
    the starting 1 included."""
    peak = np.maximum.accumulate(equity)
    np.maximum(peak, 1.0, out=peak)
    np.divide(equity, peak, out=peak)
    peak -= 1.0
    return peak


def buy_and_hold(closes: np.ndarray) -> np.ndarray:
    """The equal-weight buy-and-hold of the columns of ``closes`` (dates x
    symbols, NaN where a symbol has no bar), without rebalancing: the mean
    over the symbols of each one's last close over its first close, 1 before
    its first bar."""
    if closes.shape[1] == 1 and not np.isnan(closes[0, 0]):
        column: np.ndarray = closes[:, 0]
        relative: np.ndarray = column / column[0]
        return relative
    known = ~np.isnan(closes)
    # The row of each symbol's last bar so far (0 before the first bar).
    rows = np.where(known, np.arange(closes.shape[0])[:, None], 0)
    np.maximum.accumulate(rows, axis=0, out=rows)
    carried = np.take_along_axis(closes, rows, axis=0)
    first = closes[known.argmax(axis=0), np.arange(closes.shape[1])]
    ratio = carried / first
    ratio[~np.maximum.accumulate(known, axis=0)] = 1.0
    mean: np.ndarray = ratio.mean(axis=1)
    return mean


# -- figures -------------------------------------------------------------------------

def trade_figures(*, trades: int, wins: int, gains: float, losses: float, returns: float,
                  best: float, worst: float, bars: int) -> dict[str, float | None]:
    """win_rate, profit_factor, the average, best and worst trade return and
    avg_trade_bars, from the sums over the trades: their number, the number
    with a pnl above 0, the pnl of those (``gains``) and of the ones below 0
    (``losses``), the sum, largest and smallest of their returns, and the sum
    of their bars."""
    if trades == 0:
        return dict.fromkeys(("win_rate", "profit_factor", "avg_trade_return",
                              "best_trade_return", "worst_trade_return", "avg_trade_bars"))
    return {
        "win_rate": wins / trades,
        "profit_factor": gains / -losses if losses < 0 else None,
        "avg_trade_return": returns / trades,
        "best_trade_return": float(best),
        "worst_trade_return": float(worst),
        "avg_trade_bars": bars / trades,
    }


class CurveFigures(NamedTuple):
    """Sums over the per-bar returns r of an equity curve and b of its
    benchmark, as :func:`curve_figures` computes them in one pass."""

    mean_r: float
    mean_b: float
    squares_r: float    # sum of (r - mean r)**2
    squares_b: float    # sum of (b - mean b)**2
    cross: float        # sum of (r - mean r) * (b - mean b)
    downside: float     # sum of min(r, 0)**2
    r_varies: bool      # whether r takes two values
    b_varies: bool
    drawdown: float     # the lowest E / H - 1
    longest: int        # the longest run of E < H


def curve_figures(equity: np.ndarray, benchmark: np.ndarray) -> CurveFigures:
    """The figures of ``equity`` (the account at each date's close, starting
    from 1) against ``benchmark``, a curve whose per-bar returns are the
    benchmark's (``b[0]`` is 0, and 0 wherever a value is NaN).

    Equal to ``bar_returns(equity)``, ``bar_returns(benchmark,
    start=benchmark[0])`` and ``drawdown(equity)`` summed up, computed in
    one compiled pass without those arrays."""
    return CurveFigures(*_kernels.curve_figures(np.ascontiguousarray(equity, dtype=np.float64),
                                                np.ascontiguousarray(benchmark, dtype=np.float64)))


def benchmark_figures(figures: CurveFigures, n: int,
                      bars_per_year: int) -> dict[str, float | None]:
    """beta, alpha (annualised) and correlation of the per-bar returns
    against the benchmark's; None where the benchmark's returns (for the
    correlation, either) do not vary."""
    result: dict[str, float | None] = dict.fromkeys(("beta", "alpha", "correlation"))
    if n < 2 or not figures.b_varies:
        return result
    beta = figures.cross / figures.squares_b
    result["beta"] = beta
    result["alpha"] = (figures.mean_r - beta * figures.mean_b) * bars_per_year
    if figures.r_varies:
        result["correlation"] = figures.cross / math.sqrt(figures.squares_b * figures.squares_r)
    return result


def statistics(*, equity: np.ndarray, figures: CurveFigures, bars_per_year: int,
               exposure: float, trades: Mapping[str, Any], fills: int, turnover: float,
               costs: float, buy_and_hold_return: float) -> dict[str, float | int | None]:
    """Every statistic, from the equity at each date's close (the start
    being 1), the :class:`CurveFigures` of it against its benchmark, the
    sums over the trades (the keywords of :func:`trade_figures`) and the
    fills."""
    n = int(equity.size)
    final = float(equity[-1])
    years = n / bars_per_year
    try:
        cagr = (final ** (1.0 / years) - 1.0) if final > 0 else -1.0
    except OverflowError:  # a huge gain over a few bars
        cagr = math.inf
    scale = math.sqrt(bars_per_year)
    mean = figures.mean_r
    sd = math.sqrt(figures.squares_r / (n - 1)) if n > 1 else math.nan
    volatility = sd * scale if n > 1 else None
    sharpe = mean / sd * scale if n > 1 and sd > 0 else None
    downside = math.sqrt(figures.downside / n)
    sortino = mean / downside * scale if downside > 0 else None
    max_drawdown = 0.0 - figures.drawdown  # not -0.0 without a drawdown
    calmar = cagr / max_drawdown if max_drawdown > 0 else None
    stats: dict[str, float | int | None] = {
        "total_return": final - 1.0,
        "cagr": float(cagr),
        "volatility": volatility,
        "sharpe": sharpe,
        "sortino": sortino,
        "calmar": calmar,
        "max_drawdown": max_drawdown,
        "max_drawdown_bars": int(figures.longest),
        "exposure": float(exposure),
        "trades": int(trades["trades"]),
        "fills": int(fills),
    }
    stats.update(trade_figures(**trades))
    stats["buy_and_hold_return"] = float(buy_and_hold_return)
    stats.update(benchmark_figures(figures, n, bars_per_year))
    stats.update({
        "turnover": float(turnover),
        "costs": float(costs),
        "bars_per_year": int(bars_per_year),
    })
    # JSON has no infinity or NaN: a figure that overflowed is as undefined as one
    # that could not be computed.
    for name, value in stats.items():
        if isinstance(value, float) and not math.isfinite(value):
            stats[name] = None
    return stats
