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
    ``returns`` what the positions earned on each bar after costs, floored at
    -100% (``E[t] / E[t-1] - 1`` until the account is wiped out; the
    portfolio averages these), ``close`` the closes.  All four share the bars'
    index.  ``stats`` is the dict of statistics (plain floats and ints, None
    where undefined), ``trades`` a DataFrame with one row per trade.
    """

    equity: pd.Series
    positions: pd.Series
    returns: pd.Series
    close: pd.Series
    stats: dict[str, float | int | None]
    bars_per_year_reason: str
    # What the portfolio and the trade list are built from: the growth
    # factor of every bar, the bars where the position changes, and at those
    # bars the position left, the size of the change and its cost rate.
    _growth: np.ndarray = field(repr=False)
    _changes: np.ndarray = field(repr=False)
    _steps: tuple[np.ndarray, np.ndarray, np.ndarray] = field(repr=False)

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade: a trade runs from one change of position to the next.

        Columns: ``entry_date``, ``exit_date`` (NaT while still open at the
        last bar), ``position``, ``entry_close``, ``exit_close``, ``bars``
        (held for), ``return`` (after its share of costs).  Flat stretches are
        no trades.
        """
        starts, ends, returns = self._trade_list
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

    @cached_property
    def _trade_list(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        left, _, cost = self._steps
        return _trades(self.positions.to_numpy(), self._growth, self._changes, left, cost)

    @property
    def trade_returns(self) -> np.ndarray:
        """The return of each trade, in order (see :attr:`trades`)."""
        return self._trade_list[2]


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
    n = close.size

    # The return each bar earns before costs: p[t-1] * (c[t] / c[t-1] - 1).
    bar_returns = np.empty(n)
    bar_returns[0] = 0.0
    np.divide(close[1:], close[:-1], out=bar_returns[1:])
    bar_returns[1:] -= 1.0
    bar_returns[1:] *= pos[:-1]
    if n and bar_returns.min() < -1.0:
        np.maximum(bar_returns, -1.0, out=bar_returns)  # equity never goes below zero
    growth = bar_returns + 1.0

    # Changes of position are usually a small share of the bars: everything
    # about them (costs, trades, turnover) is computed at those bars only.
    changes = np.flatnonzero(pos[1:] != pos[:-1]) + 1
    if pos[0] != 0:
        changes = np.concatenate(([0], changes))
    left = _before(pos, changes)
    step = np.abs(pos[changes] - left)
    if rate:
        cost = rate * step  # at most 1: rate <= 0.5 and a step is at most 2
        factor = growth.copy()
        factor[changes] *= 1.0 - cost
        np.subtract(factor, 1.0, out=bar_returns)
    else:
        cost = np.zeros(changes.size)
        factor = growth
    equity = np.cumprod(factor)
    returns = bar_returns
    if equity[-1] == 0.0:
        # A wiped-out account earns nothing more: 0 / 0 counts as no return.
        wiped = int(np.argmax(equity == 0.0))
        returns = bar_returns.copy()
        returns[wiped + 1:] = 0.0
    costs = float(np.dot(_before(equity, changes, 1.0) * growth[changes], cost)) if rate else 0.0

    trade_returns = _trade_returns(pos, growth, changes, left, cost if rate else None)
    stats = statistics(
        equity=equity, returns=returns, exposure=np.count_nonzero(pos) / n,
        trades=int(changes.size), trade_returns=trade_returns,
        buy_and_hold_return=close[-1] / close[0] - 1.0, turnover=float(step.sum()),
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
        _changes=changes,
        _steps=(left, step, cost),
    )


def run_strategy(strategy: object, bars: pd.DataFrame, *, commission: float = 0.0,
                 slippage: float = 0.0, bars_per_year: int | None = None) -> BacktestResult:
    """Call ``strategy.generate_signals(bars)``, check the positions, run the backtest.

    ``bars_per_year`` overrides the number inferred from the dates (worth
    passing when the same bars run many times).
    """
    cost_rate(commission, slippage)  # refuse bad costs before the strategy runs
    generate = getattr(strategy, "generate_signals", None)
    if not callable(generate):
        raise TypeError(f"{type(strategy).__name__} has no generate_signals(bars) method")
    return backtest(bars, generate(_strategy_copy(bars)), commission=commission,
                    slippage=slippage, bars_per_year=bars_per_year)


def _strategy_copy(bars: pd.DataFrame) -> pd.DataFrame:
    """The bars as the strategy sees them: its writes must not reach the
    prices the backtest reads, nor the next run on the same bars (a sweep
    runs many on one frame)."""
    if _copy_on_write():
        return bars.copy(deep=False)  # free: a write copies the column it touches
    return bars.copy()


def _copy_on_write() -> bool:
    # Always on from pandas 3; an option before.
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    return bool(pd.get_option("mode.copy_on_write") is True)


def _before(values: np.ndarray, at: np.ndarray, first: float = 0.0) -> np.ndarray:
    """``values[at - 1]``, with ``first`` where ``at`` is 0."""
    out = values[np.maximum(at - 1, 0)]
    if at.size and at[0] == 0:
        out[0] = first
    return out


def _trade_returns(pos: np.ndarray, growth: np.ndarray, changes: np.ndarray, left: np.ndarray,
                   cost: np.ndarray | None) -> np.ndarray:
    """The returns of the trades that hold a position, in order.

    A trade runs from one change of position to the next.  Its return is
    what its position earned over those bars after its share of the two
    changes' costs: a change's cost is split between the position left and
    the position taken in proportion to their sizes.
    """
    if changes.size == 0:
        return np.empty(0)
    taken = np.abs(pos[changes])
    # What the position earned from the close after it was taken to the close where it changed.
    marks = changes + 1
    if marks[-1] == pos.size:  # the last change is at the last bar: it earned nothing yet
        earned = np.append(np.multiply.reduceat(growth, marks[:-1]) if marks.size > 1
                           else np.empty(0), 1.0)
    else:
        earned = np.multiply.reduceat(growth, marks)
    if cost is not None:
        entry_cost = cost * taken / (taken + np.abs(left))  # the sum is > 0 at a change
        exit_cost = np.append(cost[1:] - entry_cost[1:], 0.0)
        earned *= 1.0 - entry_cost
        earned *= 1.0 - exit_cost
    earned -= 1.0
    return earned[taken != 0]


def _trades(pos: np.ndarray, growth: np.ndarray, changes: np.ndarray, left: np.ndarray,
            cost: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(start bars, end bars or -1 while open, returns) of the trades that hold a position."""
    held = pos[changes] != 0
    ends = np.append(changes[1:], -1)
    returns = _trade_returns(pos, growth, changes, left, cost if cost.any() else None)
    return changes[held], ends[held], returns


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
        held[at] |= result.positions.to_numpy() != 0
        close = result.close.to_numpy()
        moves = np.empty(close.size)
        moves[0] = 0.0
        np.divide(close[1:], close[:-1], out=moves[1:])
        moves[1:] -= 1.0
        held_bh[at] += moves
        _, step, change_cost = result._steps
        where = at[result._changes]
        turnover[where] += step
        cost[where] += result._growth[result._changes] * change_cost
        trades += result._changes.size
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
