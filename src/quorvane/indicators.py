"""Technical indicators in plain Python.

Each function takes a sequence of numbers and returns a list of the same
length, holding ``None`` where the indicator is still warming up (not
enough data yet).  Windowed sums are taken afresh for every bar rather than
kept as a running total, so rounding error cannot build up over a long
series.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence

__all__ = ["sma", "ema", "rsi", "macd", "bollinger_bands", "rolling_vwap"]

Series = list[float | None]


def check_period(name: str, value: object) -> int:
    """Return ``value`` as an int if it is a usable period (an integer >= 1,
    not a bool); otherwise raise ValueError naming ``name`` and the value."""
    if type(value) is int and value >= 1:  # the common case, checked cheaply
        return value
    if not isinstance(value, bool):
        try:
            period = operator.index(value)
        except TypeError:
            pass
        else:
            if period >= 1:
                return period
    raise ValueError(f"{name} must be an integer >= 1, got {value!r}")


def sma(values: Sequence[float], period: int) -> Series:
    """Simple moving average: the mean of the last ``period`` values.

    The first value appears at index ``period - 1``.
    """
    period = check_period("period", period)
    values = list(values)
    out: Series = [None] * len(values)
    for i in range(period - 1, len(values)):
        out[i] = sum(values[i - period + 1:i + 1]) / period
    return out


def _ema_from(values: list[float], period: int, start: int) -> Series:
    """EMA of ``values[start:]``, seeded with the mean of its first ``period`` values."""
    out: Series = [None] * len(values)
    seed_end = start + period
    if seed_end > len(values):
        return out
    alpha = 2.0 / (period + 1)
    average = sum(values[start:seed_end]) / period
    out[seed_end - 1] = average
    for i in range(seed_end, len(values)):
        average += alpha * (values[i] - average)
        out[i] = average
    return out


def ema(values: Sequence[float], period: int) -> Series:
    """Exponential moving average with smoothing ``2 / (period + 1)``.

    Seeded with the simple average of the first ``period`` values, so the
    first value appears at index ``period - 1``.
    """
    return _ema_from(list(values), check_period("period", period), 0)


def rsi(values: Sequence[float], period: int = 14) -> Series:
    """Relative strength index with Wilder smoothing, from 0 to 100.

    The first average gain and loss are the plain means of the first
    ``period`` changes; after that each average moves as
    ``(previous * (period - 1) + current) / period``.  The first value
    appears at index ``period``.  With no losses in the window the RSI is
    100, with neither gains nor losses (a flat market) it is 50.
    """
    period = check_period("period", period)
    values = list(values)
    out: Series = [None] * len(values)
    if len(values) <= period:
        return out
    changes = [values[i] - values[i - 1] for i in range(1, len(values))]
    gain = sum(max(c, 0.0) for c in changes[:period]) / period
    loss = sum(max(-c, 0.0) for c in changes[:period]) / period
    for i in range(period, len(values)):
        if i > period:
            change = changes[i - 1]
            gain = (gain * (period - 1) + max(change, 0.0)) / period
            loss = (loss * (period - 1) + max(-change, 0.0)) / period
        if loss == 0:
            out[i] = 50.0 if gain == 0 else 100.0
        else:
            out[i] = 100.0 - 100.0 / (1.0 + gain / loss)
    return out


def macd(values: Sequence[float], fast_period: int = 12, slow_period: int = 26,
         signal_period: int = 9) -> tuple[Series, Series, Series]:
    """Moving average convergence/divergence.

    Returns ``(macd_line, signal_line, histogram)``: the fast EMA minus the
    slow EMA, the EMA of that line over ``signal_period`` (seeded with the
    mean of its first ``signal_period`` values), and their difference.  The
    MACD line starts where both EMAs exist, at index
    ``max(fast_period, slow_period) - 1``; the signal line
    ``signal_period - 1`` bars later.
    """
    fast_period = check_period("fast_period", fast_period)
    slow_period = check_period("slow_period", slow_period)
    signal_period = check_period("signal_period", signal_period)
    values = list(values)
    fast = _ema_from(values, fast_period, 0)
    slow = _ema_from(values, slow_period, 0)
    line: Series = [None if f is None or s is None else f - s for f, s in zip(fast, slow)]
    start = max(fast_period, slow_period) - 1
    if start >= len(values):
        return line, [None] * len(values), [None] * len(values)
    signal = _ema_from(line, signal_period, start)  # reads only the defined part
    histogram: Series = [None if s is None else m - s for m, s in zip(line, signal)]
    return line, signal, histogram


def bollinger_bands(values: Sequence[float], period: int = 20,
                    num_std: float = 2.0) -> tuple[Series, Series, Series]:
    """Bollinger bands: ``(middle, upper, lower)``.

    The middle band is the simple moving average over ``period`` values;
    the outer bands lie ``num_std`` population standard deviations (divisor
    ``period``) of the same window above and below it.  The first values
    appear at index ``period - 1``.
    """
    period = check_period("period", period)
    values = list(values)
    middle = sma(values, period)
    upper: Series = [None] * len(values)
    lower: Series = [None] * len(values)
    for i in range(period - 1, len(values)):
        mean = middle[i]
        window = values[i - period + 1:i + 1]
        spread = num_std * math.sqrt(sum((v - mean) ** 2 for v in window) / period)
        upper[i] = mean + spread
        lower[i] = mean - spread
    return middle, upper, lower


def rolling_vwap(prices: Sequence[float], volumes: Sequence[float],
                 period: int = 20) -> Series:
    """Volume-weighted average price over the last ``period`` bars.

    ``prices`` are usually typical prices, ``(high + low + close) / 3``.
    The first value appears at index ``period - 1``; a window that traded no
    volume at all has no VWAP and gives ``None``.
    """
    period = check_period("period", period)
    prices = list(prices)
    volumes = list(volumes)
    if len(prices) != len(volumes):
        raise ValueError(
            f"prices and volumes must have the same length, got {len(prices)} and {len(volumes)}"
        )
    turnover = [p * v for p, v in zip(prices, volumes)]
    out: Series = [None] * len(prices)
    for i in range(period - 1, len(prices)):
        volume = sum(volumes[i - period + 1:i + 1])
        if volume > 0:
            out[i] = sum(turnover[i - period + 1:i + 1]) / volume
    return out
