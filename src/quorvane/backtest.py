"""The backtest: target positions over bars, with trading costs, and a portfolio
of several symbols.

For closes ``c[0..n-1]`` and target positions ``p[0..n-1]`` from -1 (fully
short) to +1 (fully long), with ``p[-1] = 0`` and the cost rate
``k = (commission + slippage) / 10,000``::

    E[-1] = 1
    E[t]  = max(0, E[t-1] * (1 + p[t-1] * (c[t] / c[t-1] - 1)) * (1 - k * |p[t] - p[t-1]|))

with the growth factor 1 at ``t = 0``: the position chosen at the close of
bar ``t`` earns bar ``t + 1``'s close-to-close return, every change of
position pays its cost at the close where it happens, and equity never goes
below zero (once zero it stays zero).

A portfolio of several symbols is equal-weight and rebalanced at every
close: its return for a date is the mean, over the symbols with a bar on that
date, of each symbol's per-bar return after costs.

Everything runs on whole numpy arrays: a million bars take a few tens of
milliseconds, statistics included.  The statistics are defined in
:mod:`quorvane.stats` and ``docs/backtest.rst``.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field
from functools import cached_property

import numpy as np
import pandas as pd

from .stats import infer_bars_per_year, statistics

__all__ = ["BacktestResult", "PortfolioResult", "backtest", "check_positions", "cost_rate",
           "portfolio", "run_strategy", "MAX_COST_BPS"]

# Costs above half of the traded value would make the cost factor negative
# on a flip from long to short; no market charges that.
MAX_COST_BPS = 5_000.0


@dataclass(frozen=True, eq=False)
class BacktestResult:
    """One symbol's backtest.

    ``equity`` is the account after each bar's close (the account starts at
    1.0 before the first bar), ``positions`` the checked target positions,
    ``returns`` each bar's return after costs (``E[t] / E[t-1] - 1`` until the
    account is wiped out), ``close`` the closes.  All four share the bars'
    index.  ``stats`` is the dict of statistics (plain floats and ints, None
    where undefined), ``trades`` a DataFrame with one row per trade.
    """

    equity: pd.Series
    positions: pd.Series
    returns: pd.Series
    close: pd.Series
    stats: dict[str, float | int | None]
    bars_per_year_reason: str
    # Per-bar arrays the portfolio and the trade list are built from.
    _growth: np.ndarray = field(repr=False)
    _cost: np.ndarray = field(repr=False)
    _change_costs: tuple[np.ndarray, np.ndarray] = field(repr=False)

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade: a trade runs from one change of position to the next.

        Columns: ``entry_date``, ``exit_date`` (NaT while still open at the
        last bar), ``position``, ``entry_close``, ``exit_close``, ``bars``
        (held for), ``return`` (after its share of costs).  Flat stretches are
        no trades.
        """
        starts, ends, returns = _trades(self.positions.to_numpy(), self._growth,
                                        *self._change_costs)
        index = self.close.index
        closes = self.close.to_numpy()
        open_ = ends < 0
        last = len(closes) - 1
        exit_at = np.where(open_, last, ends)
        exit_dates = index[exit_at]
        exit_closes = closes[exit_at].copy()
        if open_.any():
            exit_dates = exit_dates.where(~open_, pd.NaT)
            exit_closes[open_] = np.nan
        return pd.DataFrame({
            "entry_date": index[starts],
            "exit_date": exit_dates,
            "position": self.positions.to_numpy()[starts],
            "entry_close": closes[starts],
            "exit_close": exit_closes,
            "bars": exit_at - starts,
            "return": returns,
        })

    @property
    def trade_returns(self) -> np.ndarray:
        return _trades(self.positions.to_numpy(), self._growth, *self._change_costs)[2]


@dataclass(frozen=True, eq=False)
class PortfolioResult:
    """An equal-weight portfolio of several symbols' backtests.

    ``equity`` and ``returns`` run over the union of the symbols' dates;
    ``stats`` has the same keys as a single symbol's; ``per_symbol`` holds the
    symbols' own results.
    """

    equity: pd.Series
    returns: pd.Series
    buy_and_hold: pd.Series
    stats: dict[str, float | int | None]
    per_symbol: Mapping[str, BacktestResult]
    bars_per_year_reason: str


# -- positions ---------------------------------------------------------------------

def check_positions(positions: object, bars: pd.DataFrame | int) -> np.ndarray:
    """``positions`` as a float64 array after checking them.

    There must be one target position per bar: a real number from -1 to 1.
    A Series, an array or any sequence is accepted; a Series with a date
    index must carry the bars' dates.  Booleans, NaN, text and numbers out of
    range are refused, naming the first bad row (rows count from 1).
    """
    count = bars if isinstance(bars, int) else len(bars)
    index = None if isinstance(bars, int) else bars.index
    if isinstance(positions, pd.DataFrame):
        raise TypeError("generate_signals returned a DataFrame; return one column of "
                        "target positions (a Series, an array or a list)")
    if isinstance(positions, pd.Series):
        if index is not None and isinstance(positions.index, pd.DatetimeIndex) \
                and len(positions) == count and not positions.index.equals(index):
            raise ValueError("generate_signals returned a Series whose dates are not the bars' "
                             "dates; return one target position per bar, in the bars' order")
        values = positions.to_numpy()
    elif isinstance(positions, np.ndarray):
        values = positions
    elif positions is None or isinstance(positions, (str, bytes, numbers.Number)):
        raise TypeError("generate_signals must return a sequence of target positions, got "
                        f"{type(positions).__name__}")
    else:
        values = _from_sequence(positions, index)
    if values.ndim != 1:
        raise ValueError(f"generate_signals returned an array of shape {values.shape}; "
                         "it must return one target position per bar")
    if len(values) != count:
        raise ValueError(f"generate_signals returned {len(values)} positions for {count} bars; "
                         "it must return one target position per bar")
    if values.dtype == bool:
        raise ValueError("generate_signals returned booleans; return numbers from -1 to 1 "
                         "(for example positions.astype(float))")
    if values.dtype.kind in "iuf":
        values = values.astype(np.float64, copy=False)
    else:
        values = _from_objects(values, index)
    bad = ~((values >= -1.0) & (values <= 1.0))  # NaN fails both tests
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"generate_signals: the position at {_row(row, index)} is "
                         f"{_show(values[row])}; positions must be numbers from -1 to 1")
    return values


def _from_sequence(positions: object, index: pd.Index | None) -> np.ndarray:
    try:
        items = list(positions)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError("generate_signals must return a sequence of target positions, got "
                        f"{type(positions).__name__}") from None
    for row, item in enumerate(items):
        # numbers.Real admits numpy scalars and Fractions; a bool is more likely a bug.
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            raise ValueError(f"generate_signals: the position at {_row(row, index)} is "
                             f"{item!r}; positions must be numbers from -1 to 1")
    return np.array([float(item) for item in items], dtype=np.float64)


def _from_objects(values: np.ndarray, index: pd.Index | None) -> np.ndarray:
    return _from_sequence(values.tolist(), index)


def _row(row: int, index: pd.Index | None) -> str:
    if index is None:
        return f"row {row + 1}"
    return f"row {row + 1} ({index[row]})"


def _show(value: float) -> str:
    return "NaN" if math.isnan(value) else repr(float(value))


# -- one symbol --------------------------------------------------------------------

def cost_rate(commission: float, slippage: float) -> float:
    """The cost rate k of a change of position, from basis points; refuses unusable costs."""
    for name, value in (("commission", commission), ("slippage", slippage)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) \
                or not (0 <= value < math.inf):
            raise ValueError(f"{name} must be a number of basis points >= 0, got {value!r}")
    if commission + slippage > MAX_COST_BPS:
        raise ValueError(f"commission + slippage is {commission + slippage:g} basis points; "
                         f"more than {MAX_COST_BPS:g} (half the traded value) is surely a mistake")
    return (float(commission) + float(slippage)) / 10_000.0


def backtest(bars: pd.DataFrame, positions: object, *, commission: float = 0.0,
             slippage: float = 0.0, bars_per_year: int | None = None) -> BacktestResult:
    """Backtest target ``positions`` over the ``close`` column of ``bars``.

    ``commission`` and ``slippage`` are in basis points of the traded value
    (their sum is the cost rate); ``bars_per_year`` overrides the number
    inferred from the dates.
    """
    rate = cost_rate(commission, slippage)
    if len(bars) == 0:
        raise ValueError("there are no bars to backtest")
    pos = check_positions(positions, bars)
    close_series = bars["close"]
    close = close_series.to_numpy(dtype=np.float64)
    if bars_per_year is None:
        bars_per_year, reason = infer_bars_per_year(bars.index)
    else:
        reason = "given"
    n = len(close)

    previous = np.empty(n)
    previous[0] = 0.0
    previous[1:] = pos[:-1]
    change = np.abs(pos - previous)
    growth = np.empty(n)
    growth[0] = 1.0
    np.divide(close[1:], close[:-1], out=growth[1:])
    growth[1:] -= 1.0
    growth[1:] *= previous[1:]
    growth[1:] += 1.0
    np.maximum(growth, 0.0, out=growth)
    cost = change * rate  # at most 1: rate <= 0.5 and |change| <= 2
    factor = growth * (1.0 - cost)
    equity = np.cumprod(factor)
    bar_returns = factor - 1.0

    wiped = np.flatnonzero(factor == 0.0)
    returns = bar_returns
    if wiped.size:
        # A wiped-out account earns nothing more: 0 / 0 counts as no return.
        returns = bar_returns.copy()
        returns[wiped[0] + 1:] = 0.0
        equity[wiped[0]:] = 0.0
    before = np.empty(n)
    before[0] = 1.0
    before[1:] = equity[:-1]
    costs = float(np.dot(before * growth, cost))

    change_costs = _split_costs(pos, previous, cost)
    trade_returns = _trades(pos, growth, *change_costs)[2]
    stats = statistics(
        equity=equity, returns=returns, exposure=np.count_nonzero(pos) / n,
        trades=int(np.count_nonzero(change)), trade_returns=trade_returns,
        buy_and_hold_return=close[-1] / close[0] - 1.0, turnover=float(change.sum()),
        costs=costs, bars_per_year=bars_per_year)
    index = bars.index
    return BacktestResult(
        equity=pd.Series(equity, index=index, name="equity", copy=False),
        positions=pd.Series(pos, index=index, name="position", copy=False),
        returns=pd.Series(bar_returns, index=index, name="return", copy=False),
        close=close_series,
        stats=stats,
        bars_per_year_reason=reason,
        _growth=growth,
        _cost=cost,
        _change_costs=change_costs,
    )


def run_strategy(strategy: object, bars: pd.DataFrame, *, commission: float = 0.0,
                 slippage: float = 0.0, bars_per_year: int | None = None) -> BacktestResult:
    """Call ``strategy.generate_signals(bars)``, check the positions, run the backtest."""
    cost_rate(commission, slippage)  # refuse bad costs before the strategy runs
    generate = getattr(strategy, "generate_signals", None)
    if not callable(generate):
        raise TypeError(f"{type(strategy).__name__} has no generate_signals(bars) method")
    return backtest(bars, generate(bars), commission=commission, slippage=slippage,
                    bars_per_year=bars_per_year)


def _split_costs(pos: np.ndarray, previous: np.ndarray,
                 cost: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A change's cost split between the position left and the position taken,
    in proportion to their sizes: (share of the entered one, of the left one)."""
    size_in = np.abs(pos)
    size_out = np.abs(previous)
    total = size_in + size_out
    with np.errstate(invalid="ignore", divide="ignore"):
        share_in = np.where(total > 0, size_in / total, 0.0)
    return cost * share_in, cost * (1.0 - share_in)


def _trades(pos: np.ndarray, growth: np.ndarray, cost_in: np.ndarray,
            cost_out: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(start bars, end bars or -1 while open, returns) of the non-flat trades."""
    starts = np.flatnonzero(np.diff(pos, prepend=0.0))
    if starts.size == 0:
        empty = np.empty(0, dtype=np.int64)
        return empty, empty, np.empty(0)
    ends = np.empty_like(starts)
    ends[:-1] = starts[1:]
    ends[-1] = -1
    # What the position earned from its first close to the close where it changed.
    earned = np.multiply.reduceat(np.append(growth, 1.0), starts + 1)
    exit_cost = np.where(ends >= 0, cost_out[ends], 0.0)
    returns = (1.0 - cost_in[starts]) * earned * (1.0 - exit_cost) - 1.0
    held = pos[starts] != 0
    return starts[held], ends[held], returns[held]


# -- several symbols ---------------------------------------------------------------

def portfolio(results: Mapping[str, BacktestResult], *,
              bars_per_year: int | None = None) -> PortfolioResult:
    """The equal-weight portfolio of several symbols' results, rebalanced at every close.

    Dates are aligned on their union; a date's return is the mean of the
    per-bar returns (after costs) of the symbols with a bar on that date.
    Exposure counts the dates on which some symbol holds a position; trades,
    trade figures and turnover are pooled over the symbols (turnover and
    costs in units of the portfolio's equity).
    """
    if not results:
        raise ValueError("a portfolio needs at least one symbol's result")
    items = list(results.values())
    dates = items[0].equity.index
    for result in items[1:]:
        dates = dates.union(result.equity.index)
    n = len(dates)
    count = np.zeros(n)
    total = np.zeros(n)
    held = np.zeros(n, dtype=bool)
    held_bh = np.zeros(n)
    turnover = np.zeros(n)
    cost = np.zeros(n)
    trades = 0
    trade_returns = []
    for result in items:
        at = dates.get_indexer(result.equity.index)
        count[at] += 1.0
        total[at] += result.returns.to_numpy()
        pos = result.positions.to_numpy()
        held[at] |= pos != 0
        close = result.close.to_numpy()
        moves = np.empty(close.size)
        moves[0] = 0.0
        np.divide(close[1:], close[:-1], out=moves[1:])
        moves[1:] -= 1.0
        held_bh[at] += moves
        change = np.abs(np.diff(pos, prepend=0.0))
        turnover[at] += change
        cost[at] += result._growth * result._cost
        trades += int(result.stats["trades"])
        trade_returns.append(result.trade_returns)
    returns = total / count
    equity = np.cumprod(1.0 + returns)
    wiped = np.flatnonzero(equity == 0.0)
    stat_returns = returns
    if wiped.size:
        stat_returns = returns.copy()
        stat_returns[wiped[0] + 1:] = 0.0
    before = np.concatenate(([1.0], equity[:-1]))
    buy_and_hold = np.cumprod(1.0 + held_bh / count)
    if bars_per_year is None:
        bars_per_year, reason = infer_bars_per_year(dates)
    else:
        reason = "given"
    stats = statistics(
        equity=equity, returns=stat_returns, exposure=np.count_nonzero(held) / n, trades=trades,
        trade_returns=np.concatenate(trade_returns), buy_and_hold_return=buy_and_hold[-1] - 1.0,
        turnover=float(np.sum(turnover / count)), costs=float(np.dot(before, cost / count)),
        bars_per_year=bars_per_year)
    return PortfolioResult(
        equity=pd.Series(equity, index=dates, name="equity"),
        returns=pd.Series(returns, index=dates, name="return"),
        buy_and_hold=pd.Series(buy_and_hold, index=dates, name="buy_and_hold"),
        stats=stats,
        per_symbol=dict(results),
        bars_per_year_reason=reason,
    )
