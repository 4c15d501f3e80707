"""Technical indicators on numpy arrays, in O(n) whatever the period.

Each function takes an array, a pandas Series or any sequence of numbers and
returns float64 arrays of the same length, NaN during the warm-up.  The
values are TA-Lib's (``SMA``, ``EMA``, ``RSI``, ``MACD``, ``BBANDS`` with equal
up and down deviations) to within 1e-9, NaN positions included; where the two
differ by design it is said below.

Input: leading NaN values are skipped, as TA-Lib does, and lengthen the
warm-up; a NaN or infinity after the first number is refused with
``ValueError``, since it would silently spoil every later value of a
recursive indicator.

The loops run in the compiled ``quorvane._kernels``, one pass per series.
Window sums are running totals started afresh every few thousand values, so
their rounding error depends on the window's neighbourhood, not on the
length of the series.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import quorvane._kernels as _kernels
from quorvane.checks import check_period

__all__ = ["sma", "ema", "rsi", "macd", "bollinger_bands", "rolling_vwap"]


# -- input ----------------------------------------------------------------------------

def _values(values: object, name: str = "values") -> tuple[np.ndarray, int]:
    """``values`` as a contiguous 1-D float64 array and the index of its first number."""
    if isinstance(values, (pd.Series, pd.Index)):
        array = values.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        array = np.asarray(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    # The kernels take contiguous memory; a strided view is copied once here.
    array = np.ascontiguousarray(array)
    # The sum of finite numbers is finite (short of overflow, which only
    # sends the check down the slow path): one pass, no scratch memory.
    with np.errstate(over="ignore"):
        total = np.add.reduce(array)
    if np.isfinite(total):
        return array, 0
    finite = np.isfinite(array)
    if finite.all():
        return array, 0
    start = int(np.argmax(~np.isnan(array))) if not np.isnan(array).all() else array.size
    bad = np.flatnonzero(~finite[start:])
    if bad.size:
        at = start + int(bad[0])
        raise ValueError(f"{name}[{at}] is {array[at]}; after the first number, every value "
                         "must be a finite number")
    return array, start


def _outputs(n: int, start: int, count: int = 1) -> list[np.ndarray]:
    """``count`` arrays of ``n`` for a kernel to fill from ``start`` on, NaN before."""
    arrays = [np.empty(n) for _ in range(count)]
    for array in arrays:
        array[:start] = np.nan
    return arrays


# -- the indicators -----------------------------------------------------------------

def sma(values: object, period: int) -> np.ndarray:
    """Simple moving average: the mean of the last ``period`` values.

    The first value appears at index ``period - 1``.

    Args:
        values: An array, a pandas Series or any sequence of numbers.
        period: The window, a whole number of 1 or more.

    Returns:
        A float64 array as long as ``values``, NaN during the warm-up.
    """
    period = check_period("period", period)
    x, start = _values(values)
    [out] = _outputs(x.size, start)
    _kernels.window_mean(x[start:], period, out[start:])
    return out


def ema(values: object, period: int) -> np.ndarray:
    """Exponential moving average with smoothing ``2 / (period + 1)``.

    Seeded with the simple average of the first ``period`` values, so the
    first value appears at index ``period - 1``.

    Args:
        values: An array, a pandas Series or any sequence of numbers.
        period: The window, a whole number of 1 or more.

    Returns:
        A float64 array as long as ``values``, NaN during the warm-up.
    """
    period = check_period("period", period)
    x, start = _values(values)
    [out] = _outputs(x.size, start)
    _kernels.ema(x[start:], period, 2.0 / (period + 1), out[start:])
    return out


def rsi(values: object, period: int = 14) -> np.ndarray:
    """Relative strength index with Wilder smoothing, from 0 to 100.

    The first average gain and loss are the plain means of the first
    ``period`` changes; after that each average moves as
    ``(previous * (period - 1) + current) / period``, and the RSI is
    ``100 * gain / (gain + loss)``.  The first value appears at index
    ``period``.  With neither gains nor losses (a flat market) it is 50;
    TA-Lib gives 0 there, and whenever ``gain + loss`` is below 1e-8.

    Args:
        values: An array, a pandas Series or any sequence of numbers.
        period: The smoothing period, a whole number of 1 or more.

    Returns:
        A float64 array as long as ``values``, NaN during the warm-up.
    """
    period = check_period("period", period)
    x, start = _values(values)
    [out] = _outputs(x.size, start)
    _kernels.rsi(x[start:], period, out[start:])
    return out


def macd(values: object, fast_period: int = 12, slow_period: int = 26,
         signal_period: int = 9) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Moving average convergence/divergence: ``(macd_line, signal_line, histogram)``.

    As TA-Lib computes it: both EMAs start at index ``slow_period - 1``, the
    slow one seeded with the mean of the first ``slow_period`` values and the
    fast one with the mean of the ``fast_period`` values ending there; the
    line is fast minus slow, the signal line its EMA over ``signal_period``
    (seeded with the mean of its first ``signal_period`` values), the
    histogram their difference.  All three appear at index
    ``slow_period + signal_period - 2``.

    Args:
        values: An array, a pandas Series or any sequence of numbers.
        fast_period: The fast EMA's period, at most ``slow_period``.
        slow_period: The slow EMA's period.
        signal_period: The signal line's EMA period.

    Returns:
        ``(macd_line, signal_line, histogram)``, three float64 arrays as long
        as ``values``, NaN during the warm-up.
    """
    fast_period = check_period("fast_period", fast_period)
    slow_period = check_period("slow_period", slow_period)
    signal_period = check_period("signal_period", signal_period)
    if fast_period > slow_period:
        raise ValueError(f"fast_period must not exceed slow_period, got "
                         f"fast_period={fast_period}, slow_period={slow_period}")
    x, start = _values(values)
    line, signal, histogram = _outputs(x.size, start, 3)
    _kernels.macd(x[start:], fast_period, slow_period, signal_period,
                  line[start:], signal[start:], histogram[start:])
    return line, signal, histogram


def bollinger_bands(values: object, period: int = 20,
                    num_std: float = 2.0) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Bollinger bands: ``(middle, upper, lower)``.

    The middle band is the simple moving average over ``period`` values;
    the outer bands lie ``num_std`` population standard deviations (divisor
    ``period``) of the same window above and below it.  The first values
    appear at index ``period - 1``.  TA-Lib reports a deviation of 0 for any
    window whose variance is below 1e-8; here such windows keep their true,
    small deviation.

    Args:
        values: An array, a pandas Series or any sequence of numbers.
        period: The window, a whole number of 1 or more.
        num_std: How many standard deviations the outer bands lie from the
            middle one.

    Returns:
        ``(middle, upper, lower)``, three float64 arrays as long as
        ``values``, NaN during the warm-up.
    """
    period = check_period("period", period)
    x, start = _values(values)
    middle, upper = _outputs(x.size, start, 2)
    # The deviation goes into `upper`, then becomes the spread, then the band.
    _kernels.window_mean_std(x[start:], period, middle[start:], upper[start:])
    np.multiply(upper, num_std, out=upper)
    lower = middle - upper
    np.add(middle, upper, out=upper)
    return middle, upper, lower


def rolling_vwap(prices: object, volumes: object, period: int = 20) -> np.ndarray:
    """Volume-weighted average price over the last ``period`` bars.

    ``prices`` are usually typical prices, ``(high + low + close) / 3``.
    The first value appears at index ``period - 1``; a window that traded no
    volume at all has no VWAP and gives NaN.

    Args:
        prices: The prices, as ``values`` elsewhere.
        volumes: The volumes, as many as the prices.
        period: The window, a whole number of 1 or more.

    Returns:
        A float64 array as long as ``prices``, NaN during the warm-up.
    """
    period = check_period("period", period)
    p, p_start = _values(prices, "prices")
    v, v_start = _values(volumes, "volumes")
    if p.size != v.size:
        raise ValueError(f"prices and volumes must have the same length, got {p.size} and {v.size}")
    start = max(p_start, v_start)
    out = np.full(p.size, np.nan)
    if p.size - start < period:
        return out
    traded, turnover = np.empty(p.size - start), np.empty(p.size - start)
    _kernels.window_sum(v[start:], period, traded)
    _kernels.window_sum(p[start:] * v[start:], period, turnover)
    traded, turnover = traded[period - 1:], turnover[period - 1:]
    with np.errstate(invalid="ignore", divide="ignore"):
        out[start + period - 1:] = np.where(traded > 0, turnover / traded, np.nan)
    return out
