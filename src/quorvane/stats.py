"""The statistics of a backtest, every one computed from whole arrays.

The definitions are written out in ``docs/backtest.rst``; the one-line
descriptions in :data:`DESCRIPTIONS` are what the command line's table shows.
A statistic that is undefined for the run at hand (a Sharpe ratio without
any volatility, trade figures without a trade) is ``None``, which JSON
writes as ``null``.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

import numpy as np

# Where the bars of a year come from; imported from here as well.
from .data.calendar import infer_bars_per_year

__all__ = ["DESCRIPTIONS", "bar_returns", "benchmark_figures", "buy_and_hold", "drawdown",
           "infer_bars_per_year", "statistics", "trade_figures"]

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
        column = closes[:, 0]
        return column / column[0]
    known = ~np.isnan(closes)
    # The row of each symbol's last bar so far (0 before the first bar).
    rows = np.where(known, np.arange(closes.shape[0])[:, None], 0)
    np.maximum.accumulate(rows, axis=0, out=rows)
    carried = np.take_along_axis(closes, rows, axis=0)
    first = closes[known.argmax(axis=0), np.arange(closes.shape[1])]
    ratio = carried / first
    ratio[~np.maximum.accumulate(known, axis=0)] = 1.0
    return ratio.mean(axis=1)


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


def benchmark_figures(returns: np.ndarray, benchmark: np.ndarray, bars_per_year: int,
                      scratch: np.ndarray | None = None) -> dict[str, float | None]:
    """beta, alpha (annualised) and correlation of the per-bar ``returns``
    against the benchmark's; None where the benchmark's returns (for the
    correlation, either) do not vary.  ``scratch``, an array of the same
    size, spares allocating one."""
    figures: dict[str, float | None] = dict.fromkeys(("beta", "alpha", "correlation"))
    n = returns.size
    if n < 2 or benchmark.min() == benchmark.max():
        return figures
    mean_r = float(returns.mean())
    mean_b = float(benchmark.mean())
    centred_b = np.subtract(benchmark, mean_b, out=scratch)
    # The centred benchmark sums to 0, so the returns need no centring.
    covariance = _dot(returns, centred_b)
    variance_b = _dot(centred_b, centred_b)
    beta = covariance / variance_b
    figures["beta"] = beta
    figures["alpha"] = (mean_r - beta * mean_b) * bars_per_year
    if returns.min() != returns.max():
        variance_r = np.subtract(returns, mean_r, out=centred_b)
        figures["correlation"] = covariance / math.sqrt(variance_b * _dot(variance_r, variance_r))
    return figures


def statistics(*, equity: np.ndarray, returns: np.ndarray, drawdowns: np.ndarray,
               bars_per_year: int, exposure: float, trades: Mapping[str, float],
               fills: int, turnover: float, costs: float, benchmark_returns: np.ndarray,
               buy_and_hold_return: float) -> dict[str, float | int | None]:
    """Every statistic, from the equity at each date's close (the start
    being 1), the per-bar returns that compound to it, its drawdown, the sums
    over the trades (the keywords of :func:`trade_figures`) and the fills,
    and the benchmark's per-bar returns."""
    n = int(equity.size)
    final = float(equity[-1])
    years = n / bars_per_year
    try:
        cagr = (final ** (1.0 / years) - 1.0) if final > 0 else -1.0
    except OverflowError:  # a huge gain over a few bars
        cagr = math.inf
    scale = math.sqrt(bars_per_year)
    mean = float(returns.mean())
    squares = _dot(returns, returns)
    sd = math.sqrt(max(0.0, (squares - n * mean * mean) / (n - 1))) if n > 1 else math.nan
    volatility = sd * scale if n > 1 else None
    sharpe = mean / sd * scale if n > 1 and sd > 0 else None
    # One scratch array serves every step: fresh memory for a million bars
    # costs more than the arithmetic.
    scratch = np.minimum(returns, 0.0)
    downside = math.sqrt(_dot(scratch, scratch) / n)
    sortino = mean / downside * scale if downside > 0 else None
    max_drawdown = 0.0 - float(drawdowns.min())  # not -0.0 without a drawdown
    calmar = cagr / max_drawdown if max_drawdown > 0 else None
    stats: dict[str, float | int | None] = {
        "total_return": final - 1.0,
        "cagr": float(cagr),
        "volatility": volatility,
        "sharpe": sharpe,
        "sortino": sortino,
        "calmar": calmar,
        "max_drawdown": max_drawdown,
        "max_drawdown_bars": _longest_run(drawdowns < 0),
        "exposure": float(exposure),
        "trades": int(trades["trades"]),
        "fills": int(fills),
    }
    stats.update(trade_figures(**trades))
    stats["buy_and_hold_return"] = float(buy_and_hold_return)
    stats.update(benchmark_figures(returns, benchmark_returns, bars_per_year, scratch))
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


def _dot(x: np.ndarray, y: np.ndarray) -> float:
    """The dot product without BLAS: its thread pool costs more than the
    sum itself on a busy machine (20 ms instead of 5 us for 20,000 values
    with two threads under load), and a sweep already runs a job per core."""
    return float(np.einsum("i,i->", x, y))


def _longest_run(flags: np.ndarray) -> int:
    """The length of the longest run of True in ``flags``."""
    edges = np.flatnonzero(flags[1:] != flags[:-1]) + 1
    starts = edges[~flags[edges - 1]]  # False -> True
    ends = edges[flags[edges - 1]]     # True -> False
    if flags.size and flags[0]:
        starts = np.concatenate(([0], starts))
    if flags.size and flags[-1]:
        ends = np.concatenate((ends, [flags.size]))
    return int(np.max(ends - starts)) if starts.size else 0
