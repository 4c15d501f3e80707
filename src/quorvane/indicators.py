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

Windowed sums restart every few thousand values instead of running over the
whole series, so their rounding error depends on the window's neighbourhood,
not on the length of the series.  Recursive averages (EMA, Wilder's
smoothing) run in pandas' compiled exponentially weighted mean.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorvane.trader_core.strategies.base import check_period

__all__ = ["sma", "ema", "rsi", "macd", "bollinger_bands", "rolling_vwap", "check_period"]

# Prefix sums restart every _BLOCK values (or every period, if longer).
_BLOCK = 4096
# Deviations from a reference restart every _MOMENT_BLOCK values (or period).
_MOMENT_BLOCK = 64


# -- input and shared kernels -------------------------------------------------------

def _values(values: object, name: str = "values") -> tuple[np.ndarray, int]:
    """``values`` as a 1-D float64 array and the index of its first number."""
    if isinstance(values, (pd.Series, pd.Index)):
        array = values.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        array = np.asarray(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
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


def _nans(n: int) -> np.ndarray:
    return np.full(n, np.nan)


def _window_sums(x: np.ndarray, period: int, out: np.ndarray | None = None) -> np.ndarray:
    """Sums of every run of ``period`` consecutive values of ``x``: element i of
    the result is the sum of the window ending at i (from ``period - 1`` on;
    the places before are left as they are).

    Prefix sums restart every block, so a window sum is one block prefix
    minus another, plus the previous block's total where the window crosses
    into it: the rounding error depends on a block's values, not on the
    length of the series.
    """
    n = x.size
    if out is None:
        out = np.empty(n)
    if n < period:
        return out
    block = max(period, _BLOCK)
    prefix = np.empty(n)
    for first in range(0, n, block):
        np.cumsum(x[first:first + block], out=prefix[first:first + block])
    out[period - 1] = prefix[period - 1]
    np.subtract(prefix[period:], prefix[:-period], out=out[period:])
    # A window ending in the first `period` places of a block began in the block before.
    for first in range(block, n, block):
        out[first:first + period] += prefix[first - 1]
    return out


def _window_moments(x: np.ndarray, period: int) -> tuple[np.ndarray, np.ndarray]:
    """Mean and population variance of every run of ``period`` consecutive
    values (those ending at ``period - 1`` .. ``n - 1``).

    The sums are taken of deviations from a reference per block of at least
    64 values, so they stay small and the variance does not drown in the
    rounding error of squares of the price level; a window that reaches into
    the previous block has that part moved to its own block's reference.
    """
    n = x.size
    block = max(period, _MOMENT_BLOCK)
    blocks = -(-n // block)
    padded = np.empty(blocks * block)
    padded[:n] = x
    padded[n:] = x[-1]
    grid = padded.reshape(blocks, block)
    reference = grid[:, :1].copy()
    deviation = grid - reference
    first = np.cumsum(deviation, axis=1)
    second = np.cumsum(deviation * deviation, axis=1)
    sum1 = first.copy()
    sum2 = second.copy()
    sum1[:, period:] -= first[:, :-period]
    sum2[:, period:] -= second[:, :-period]
    if period > 1 and blocks > 1:
        # Windows ending at place r < period - 1 take period - 1 - r values
        # from the end of the previous block.
        taken = np.arange(period - 1, 0, -1, dtype=np.float64)
        tail1 = first[:-1, -1:] - first[:-1, block - period:block - 1]
        tail2 = second[:-1, -1:] - second[:-1, block - period:block - 1]
        shift = reference[:-1] - reference[1:]
        sum1[1:, :period - 1] += tail1 + taken * shift
        sum2[1:, :period - 1] += tail2 + 2.0 * shift * tail1 + taken * shift * shift
    mean = sum1 / period
    variance = sum2 / period - mean * mean
    mean += reference
    return mean.ravel()[period - 1:n], variance.ravel()[period - 1:n]


def _smooth(seed: float, x: np.ndarray, alpha: float) -> np.ndarray:
    """y[0] = seed, y[t] = y[t-1] + alpha * (x[t] - y[t-1]) for t >= 1 (x[0] unused)."""
    if x.size == 0:
        return x.copy()
    source = x.copy()
    source[0] = seed
    return pd.Series(source, copy=False).ewm(alpha=alpha, adjust=False).mean().to_numpy()


def _ema_from(x: np.ndarray, period: int, seed_end: int, alpha: float | None = None) -> np.ndarray:
    """EMA over ``x``, seeded at ``seed_end`` with the mean of the ``period``
    values ending there; NaN before it."""
    out = _nans(x.size)
    if seed_end >= x.size:
        return out
    seed = float(np.mean(x[seed_end - period + 1:seed_end + 1]))
    out[seed_end:] = _smooth(seed, x[seed_end:], alpha if alpha is not None else 2.0 / (period + 1))
    return out


# -- the indicators -----------------------------------------------------------------

def sma(values: object, period: int) -> np.ndarray:
    """Simple moving average: the mean of the last ``period`` values.

    The first value appears at index ``period - 1``.
    """
    period = check_period("period", period)
    x, start = _values(values)
    out = _nans(x.size)
    if x.size - start >= period:
        _window_sums(x[start:], period, out[start:])
        out[start + period - 1:] /= period
    return out


def ema(values: object, period: int) -> np.ndarray:
    """Exponential moving average with smoothing ``2 / (period + 1)``.

    Seeded with the simple average of the first ``period`` values, so the
    first value appears at index ``period - 1``.
    """
    period = check_period("period", period)
    x, start = _values(values)
    out = _nans(x.size)
    out[start:] = _ema_from(x[start:], period, period - 1)
    return out


def rsi(values: object, period: int = 14) -> np.ndarray:
    """Relative strength index with Wilder smoothing, from 0 to 100.

    The first average gain and loss are the plain means of the first
    ``period`` changes; after that each average moves as
    ``(previous * (period - 1) + current) / period``, and the RSI is
    ``100 * gain / (gain + loss)``.  The first value appears at index
    ``period``.  With neither gains nor losses (a flat market) it is 50;
    TA-Lib gives 0 there, and whenever ``gain + loss`` is below 1e-8.
    """
    period = check_period("period", period)
    x, start = _values(values)
    out = _nans(x.size)
    live = x[start:]
    if live.size <= period:
        return out
    change = np.diff(live)
    gain = np.maximum(change, 0.0)
    loss = np.maximum(-change, 0.0)
    alpha = 1.0 / period
    # change[i] is the move into live[i + 1]: the seeds cover changes 0..period-1.
    avg_gain = _ema_from(gain, period, period - 1, alpha)[period - 1:]
    avg_loss = _ema_from(loss, period, period - 1, alpha)[period - 1:]
    total = avg_gain + avg_loss
    with np.errstate(invalid="ignore", divide="ignore"):
        value = np.where(total > 0, 100.0 * avg_gain / total, 50.0)
    out[start + period:] = value
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
    """
    fast_period = check_period("fast_period", fast_period)
    slow_period = check_period("slow_period", slow_period)
    signal_period = check_period("signal_period", signal_period)
    if fast_period > slow_period:
        raise ValueError(f"fast_period must not exceed slow_period, got "
                         f"fast_period={fast_period}, slow_period={slow_period}")
    x, start = _values(values)
    n = x.size
    line, signal, histogram = _nans(n), _nans(n), _nans(n)
    live = x[start:]
    first = slow_period - 1
    if live.size <= first + signal_period - 1:
        return line, signal, histogram
    fast = _ema_from(live, fast_period, first)
    slow = _ema_from(live, slow_period, first)
    live_line = fast[first:] - slow[first:]
    live_signal = _ema_from(live_line, signal_period, signal_period - 1)
    shown = start + first + signal_period - 1
    line[shown:] = live_line[signal_period - 1:]
    signal[shown:] = live_signal[signal_period - 1:]
    histogram[shown:] = line[shown:] - signal[shown:]
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
    """
    period = check_period("period", period)
    x, start = _values(values)
    n = x.size
    middle, upper, lower = _nans(n), _nans(n), _nans(n)
    live = x[start:]
    if live.size < period:
        return middle, upper, lower
    mean, variance = _window_moments(live, period)
    if period == 1:
        variance[:] = 0.0  # one value has no spread; rounding would leave a trace
    spread = num_std * np.sqrt(np.maximum(variance, 0.0))
    at = start + period - 1
    middle[at:] = mean
    upper[at:] = middle[at:] + spread
    lower[at:] = middle[at:] - spread
    return middle, upper, lower


def rolling_vwap(prices: object, volumes: object, period: int = 20) -> np.ndarray:
    """Volume-weighted average price over the last ``period`` bars.

    ``prices`` are usually typical prices, ``(high + low + close) / 3``.
    The first value appears at index ``period - 1``; a window that traded no
    volume at all has no VWAP and gives NaN.
    """
    period = check_period("period", period)
    p, p_start = _values(prices, "prices")
    v, v_start = _values(volumes, "volumes")
    if p.size != v.size:
        raise ValueError(f"prices and volumes must have the same length, got {p.size} and {v.size}")
    start = max(p_start, v_start)
    out = _nans(p.size)
    if p.size - start < period:
        return out
    traded = _window_sums(v[start:], period)[period - 1:]
    turnover = _window_sums(p[start:] * v[start:], period)[period - 1:]
    with np.errstate(invalid="ignore", divide="ignore"):
        out[start + period - 1:] = np.where(traded > 0, turnover / traded, np.nan)
    return out
