"""The statistics of a backtest, every one computed from whole arrays.

The definitions are written out in ``docs/backtest.rst``; the one-line
descriptions in :data:`DESCRIPTIONS` are what the command line's table shows.
A statistic that is undefined for the run at hand (a Sharpe ratio without
any volatility, trade figures without a trade) is ``None``, which JSON
writes as ``null``.
"""

from __future__ import annotations

import math

import numpy as np

# Where the bars of a year come from; imported from here as well.
from .data.calendar import infer_bars_per_year

__all__ = ["DESCRIPTIONS", "infer_bars_per_year", "statistics", "trade_figures"]

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
    "exposure": "share of bars with a non-zero position",
    "trades": "bars at which the position changes",
    "win_rate": "share of trades with a positive return",
    "profit_factor": "sum of winning trade returns / sum of losing ones",
    "avg_trade_return": "mean trade return",
    "best_trade_return": "best trade return",
    "worst_trade_return": "worst trade return",
    "buy_and_hold_return": "last close / first close - 1",
    "turnover": "sum of |position change|",
    "costs": "equity paid in commission and slippage",
    "bars_per_year": "bars per year used to annualise",
}

def trade_figures(returns: np.ndarray) -> dict[str, float | None]:
    """win_rate, profit_factor and the average, best and worst of trade returns."""
    if returns.size == 0:
        return dict.fromkeys(("win_rate", "profit_factor", "avg_trade_return",
                              "best_trade_return", "worst_trade_return"))
    gains = float(returns[returns > 0].sum())
    losses = -float(returns[returns < 0].sum())
    return {
        "win_rate": float(np.count_nonzero(returns > 0) / returns.size),
        "profit_factor": gains / losses if losses > 0 else None,
        "avg_trade_return": float(returns.mean()),
        "best_trade_return": float(returns.max()),
        "worst_trade_return": float(returns.min()),
    }


def statistics(*, equity: np.ndarray, returns: np.ndarray, exposure: float, trades: int,
               trade_returns: np.ndarray, buy_and_hold_return: float, turnover: float,
               costs: float, bars_per_year: int) -> dict[str, float | int | None]:
    """Every statistic, from the equity after each bar (the start being 1) and
    the per-bar returns that compound to it."""
    n = int(equity.size)
    final = float(equity[-1])
    years = n / bars_per_year
    try:
        cagr = (final ** (1.0 / years) - 1.0) if final > 0 else -1.0
    except OverflowError:  # a huge gain over a few bars
        cagr = math.inf
    scale = math.sqrt(bars_per_year)
    # Sums over whole arrays; one scratch array serves every step, since
    # fresh memory for a million bars costs more than the arithmetic.
    mean = float(returns.mean())
    squares = float(np.dot(returns, returns))
    sd = math.sqrt(max(0.0, (squares - n * mean * mean) / (n - 1))) if n > 1 else math.nan
    volatility = sd * scale if n > 1 else None
    sharpe = mean / sd * scale if n > 1 and sd > 0 else None
    scratch = np.minimum(returns, 0.0)
    downside = math.sqrt(float(np.dot(scratch, scratch)) / n)
    sortino = mean / downside * scale if downside > 0 else None
    peak = np.maximum.accumulate(equity, out=scratch)
    np.maximum(peak, 1.0, out=peak)  # the starting 1 is the first high
    under = equity < peak
    max_drawdown = 1.0 - float(np.min(np.divide(equity, peak, out=peak)))
    calmar = cagr / max_drawdown if max_drawdown > 0 else None
    stats: dict[str, float | int | None] = {
        "total_return": final - 1.0,
        "cagr": float(cagr),
        "volatility": volatility,
        "sharpe": sharpe,
        "sortino": sortino,
        "calmar": calmar,
        "max_drawdown": max_drawdown,
        "max_drawdown_bars": _longest_run(under),
        "exposure": float(exposure),
        "trades": int(trades),
    }
    stats.update(trade_figures(trade_returns))
    stats.update({
        "buy_and_hold_return": float(buy_and_hold_return),
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
