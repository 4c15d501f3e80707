"""What the built-in strategies compute: target positions from bars, on whole arrays.

The strategy classes import this module only when they generate signals, so
that importing the strategies (which the compiled loader does at start-up)
stays free of numpy and pandas.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorvane import indicators

__all__ = ["bollinger_reversion", "crossing", "rsi_momentum", "vwap_reversion"]


def columns(bars: object, owner: str, *names: str) -> list[np.ndarray]:
    """The named float columns of ``bars``, refusing anything but a DataFrame that has them."""
    if not isinstance(bars, pd.DataFrame):
        raise TypeError(f"{owner}.generate_signals needs the bars as a pandas DataFrame "
                        "(see quorvane.data.read_bars), got "
                        f"{type(bars).__name__}")
    lower = {str(column).lower(): column for column in bars.columns}
    missing = [name for name in names if name not in lower]
    if missing:
        raise ValueError(f"{owner}.generate_signals needs the column(s) {', '.join(missing)}; "
                         f"the bars have {', '.join(map(str, bars.columns)) or 'none'}")
    return [bars[lower[name]].to_numpy(dtype=np.float64) for name in names]


def positions(bars: pd.DataFrame, values: np.ndarray) -> pd.Series:
    return pd.Series(values, index=bars.index, name="position", copy=False)


def crossing(value: np.ndarray, reference: np.ndarray, *, reuse: bool = False) -> np.ndarray:
    """+1 above the reference, -1 below it, 0 on it or while either is NaN.

    ``reuse=True`` writes the result over ``reference``, a scratch array
    of the caller's: a million bars then need no fresh memory.
    """
    side: np.ndarray = np.subtract(value, reference, out=reference if reuse else None)
    np.sign(side, out=side)
    np.nan_to_num(side, copy=False, nan=0.0)
    return side


def _hold(events: np.ndarray) -> np.ndarray:
    """Each non-zero event held until the next one; 0 before the first."""
    marks = np.where(events != 0, np.arange(events.size), 0)
    np.maximum.accumulate(marks, out=marks)
    return events[marks]


def rsi_momentum(close: np.ndarray, period: int, oversold: float,
                 overbought: float) -> np.ndarray:
    value = indicators.rsi(close, period)
    previous = np.full_like(value, np.nan)
    previous[1:] = value[:-1]
    events = np.zeros(value.size)
    events[(previous <= oversold) & (value > oversold)] = 1.0
    # A climb above oversold is checked first, as one bar cannot do both.
    events[(previous >= overbought) & (value < overbought) & (events == 0)] = -1.0
    return _hold(events)


def bollinger_reversion(close: np.ndarray, period: int, num_std: float) -> np.ndarray:
    """Enter below the lower band (long) or above the upper one (short); leave at the middle.

    A long position is closed by a close at or above the middle band, a short
    one by a close at or below it; an entry replaces whatever was held.
    """
    middle, upper, lower = indicators.bollinger_bands(close, period, num_std)
    entries = np.zeros(close.size)
    entries[close < lower] = 1.0
    entries[close > upper] = -1.0
    entered = entries != 0
    last = np.where(entered, np.arange(close.size), 0)
    np.maximum.accumulate(last, out=last)
    side = entries[last]  # the last entry's side (0 before any)
    # Exits after the last entry close the position it opened.
    ends_long = np.cumsum(~entered & (close >= middle))
    ends_short = np.cumsum(~entered & (close <= middle))
    closed = np.where(side > 0, ends_long > ends_long[last], ends_short > ends_short[last])
    side[closed] = 0.0
    return side


def vwap_reversion(high: np.ndarray, low: np.ndarray, close: np.ndarray, volume: np.ndarray,
                   period: int, threshold: float) -> np.ndarray:
    typical = (high + low + close) / 3.0
    vwap = indicators.rolling_vwap(typical, volume, period)
    band = threshold * np.abs(vwap)
    distance = close - vwap
    out = np.zeros(close.size)
    out[distance > band] = -1.0
    out[distance < -band] = 1.0
    return out
