"""A simple long/short backtest of a strategy's signals.

The signal of bar ``t`` is the position held from the close of bar ``t`` to
the close of bar ``t + 1``: +1 earns the close-to-close return, -1 earns its
negative, 0 earns nothing.  Returns compound, there are no costs, no
slippage and no leverage, and the whole account is always at stake.

A position that would lose more than the whole account (a short position
through a price that more than doubles) ends the account at zero: equity
never goes negative, and once it is zero it stays zero.  Compounding a
negative equity would turn later losses into gains.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["BacktestResult", "Change", "backtest", "check_signals", "position_changes"]

_POSITIONS = (-1, 0, 1)


@dataclass(frozen=True)
class BacktestResult:
    """What :func:`backtest` found.

    ``positions`` holds the checked signals as ints, ``equity`` the value of
    an account that starts at 1.0, one value per bar (the value at the close
    of that bar).  ``total_return`` and ``max_drawdown`` are fractions:
    0.05 is 5%.  ``max_drawdown`` is the largest fall of the equity from its
    highest value so far, relative to that high (0.0 when it never fell).
    """

    positions: list[int]
    equity: list[float]
    long_bars: int
    flat_bars: int
    short_bars: int
    trades: int
    total_return: float
    max_drawdown: float


@dataclass(frozen=True)
class Change:
    """The position moves from ``before`` to ``after`` at the close of bar ``index``."""

    index: int
    before: int
    after: int


def check_signals(signals: Sequence[object], bar_count: int) -> list[int]:
    """Return ``signals`` as a list of ints after checking them.

    There must be one signal per bar, and each must be a real number equal
    to +1, 0 or -1 (``1.0`` and numpy integers are accepted, ``True`` and
    ``0.5`` are not).
    """
    try:
        values = list(signals)
    except TypeError:
        raise TypeError(
            f"generate_signals must return a sequence of signals, got {type(signals).__name__}"
        ) from None
    if len(values) != bar_count:
        raise ValueError(
            f"generate_signals returned {len(values)} signals for {bar_count} bars; "
            "it must return one signal per bar"
        )
    positions = []
    for index, value in enumerate(values):
        # numbers.Real admits numpy scalars; a bool is more likely a bug.
        if isinstance(value, numbers.Real) and not isinstance(value, bool) and value in _POSITIONS:
            positions.append(_POSITIONS[_POSITIONS.index(value)])  # as a plain int
        else:
            raise ValueError(f"signal {index} is {value!r}; signals must be +1, 0 or -1")
    return positions


def position_changes(positions: Sequence[int]) -> list[Change]:
    """Every bar where the position differs from the one before it.

    The account starts flat, so a first bar with a position counts as a
    change.  A move from long to short (or back) is one change.
    """
    changes = []
    before = 0
    for index, after in enumerate(positions):
        if after != before:
            changes.append(Change(index, before, after))
            before = after
    return changes


def backtest(closes: Sequence[float], signals: Sequence[object]) -> BacktestResult:
    """Run the long/short backtest of ``signals`` over ``closes``.

    ``closes`` holds one positive, finite closing price per bar; ``signals``
    one signal per bar (see :func:`check_signals`).  ``trades`` is the number
    of position changes (see :func:`position_changes`); a position still open
    after the last bar is not closed and adds no trade.
    """
    prices = [float(close) for close in closes]
    for index, price in enumerate(prices):
        if not (math.isfinite(price) and price > 0):
            raise ValueError(f"bar {index}: close must be a positive number, got {closes[index]!r}")
    positions = check_signals(signals, len(prices))

    equity = [1.0] if prices else []
    for index in range(1, len(prices)):
        change = prices[index] / prices[index - 1] - 1.0
        growth = 1.0 + positions[index - 1] * change
        equity.append(equity[-1] * growth if growth > 0 else 0.0)

    peak = 1.0
    max_drawdown = 0.0
    for value in equity:
        peak = max(peak, value)
        max_drawdown = max(max_drawdown, 1.0 - value / peak)

    return BacktestResult(
        positions=positions,
        equity=equity,
        long_bars=positions.count(1),
        flat_bars=positions.count(0),
        short_bars=positions.count(-1),
        trades=len(position_changes(positions)),
        total_return=(equity[-1] - 1.0) if equity else 0.0,
        max_drawdown=max_drawdown,
    )
