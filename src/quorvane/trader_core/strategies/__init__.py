"""The built-in strategies and their base class ``BaseStrategy``.

Every built-in strategy is created from keyword arguments alone (all have
defaults), checks its parameters at construction and turns a DataFrame of
bars into one target position per bar, as a Series on the bars' index: +1
long, 0 flat, -1 short.  The position is 0 while the strategy's indicator
warms up.

The computations live in ``signals``, imported when a strategy first
generates signals: importing this module (as the compiled loader does at
every start-up) loads neither numpy nor pandas.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from quorvane.checks import check_number, check_ordered, check_period

from .base import BaseStrategy, parameter

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "BaseStrategy",
    "SMAMomentumStrategy",
    "DualSMAMomentumStrategy",
    "RSIMomentumStrategy",
    "MACDCrossoverStrategy",
    "BollingerMeanReversionStrategy",
    "VWAPReversionStrategy",
]


class SMAMomentumStrategy(BaseStrategy):
    """Long while the close is above its simple moving average, short while below.

    Flat while the close equals the average and during the first
    ``ma_period - 1`` bars.
    """

    ma_period = parameter("ma_period", "Length of the moving average, in bars.")

    def __init__(self, *, ma_period: int = 20) -> None:
        super().__init__(ma_period=check_period("ma_period", ma_period))

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.ma_period - 1)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        from quorvane.indicators import sma
        (close,) = signals.columns(bars, type(self).__name__, "close")
        return signals.positions(bars, signals.crossing(close, sma(close, self.ma_period),
                                                        reuse=True))


class DualSMAMomentumStrategy(BaseStrategy):
    """Long while the fast moving average is above the slow one, short while below.

    Flat while the two averages are equal and until the slow one exists
    (the first ``slow_period - 1`` bars).
    """

    fast_period = parameter("fast_period", "Length of the fast moving average, in bars.")
    slow_period = parameter("slow_period", "Length of the slow moving average, in bars.")

    def __init__(self, *, fast_period: int = 10, slow_period: int = 30) -> None:
        fast = check_period("fast_period", fast_period)
        slow = check_period("slow_period", slow_period)
        check_ordered("fast_period", fast, "slow_period", slow)
        super().__init__(fast_period=fast, slow_period=slow)

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.slow_period - 1)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        from quorvane.indicators import sma
        (close,) = signals.columns(bars, type(self).__name__, "close")
        fast = sma(close, self.fast_period)
        return signals.positions(bars, signals.crossing(fast, sma(close, self.slow_period),
                                                        reuse=True))


class RSIMomentumStrategy(BaseStrategy):
    """Long when RSI climbs back above oversold, short when it falls back below overbought.

    A long position opens on the bar where the RSI (Wilder smoothing over
    ``rsi_period`` bars) rises from at or below ``oversold`` to above it:
    the selling has run out and the turn is taken as upward momentum.  A
    short position opens on the bar where it falls from at or above
    ``overbought`` to below it.  A position is held until the opposite
    signal, so the strategy is flat only until its first signal.
    """

    rsi_period = parameter("rsi_period", "Length of the RSI (Wilder smoothing), in bars.")
    oversold = parameter("oversold", "RSI level below which the market counts as oversold.")
    overbought = parameter("overbought", "RSI level above which the market counts as overbought.")

    def __init__(self, *, rsi_period: int = 14, oversold: float = 30,
                 overbought: float = 70) -> None:
        period = check_period("rsi_period", rsi_period)
        check_number("oversold", oversold, minimum=0, maximum=100)
        check_number("overbought", overbought, minimum=0, maximum=100)
        check_ordered("oversold", oversold, "overbought", overbought)
        super().__init__(rsi_period=period, oversold=oversold, overbought=overbought)

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.rsi_period)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        (close,) = signals.columns(bars, type(self).__name__, "close")
        return signals.positions(bars, signals.rsi_momentum(
            close, self.rsi_period, self.oversold, self.overbought))


class MACDCrossoverStrategy(BaseStrategy):
    """Long while the MACD line is above its signal line, short while below.

    Flat while the two lines are equal and until both exist (the first
    ``slow_period + signal_period - 2`` bars).
    """

    fast_period = parameter("fast_period", "Length of the fast EMA, in bars.")
    slow_period = parameter("slow_period", "Length of the slow EMA, in bars.")
    signal_period = parameter("signal_period", "Length of the signal-line EMA, in bars.")

    def __init__(self, *, fast_period: int = 12, slow_period: int = 26,
                 signal_period: int = 9) -> None:
        fast = check_period("fast_period", fast_period)
        slow = check_period("slow_period", slow_period)
        signal = check_period("signal_period", signal_period)
        check_ordered("fast_period", fast, "slow_period", slow)
        super().__init__(fast_period=fast, slow_period=slow, signal_period=signal)

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.slow_period + self.signal_period - 2)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        from quorvane.indicators import macd
        (close,) = signals.columns(bars, type(self).__name__, "close")
        line, signal, _ = macd(close, self.fast_period, self.slow_period, self.signal_period)
        return signals.positions(bars, signals.crossing(line, signal))


class BollingerMeanReversionStrategy(BaseStrategy):
    """Buys below the lower Bollinger band, sells above the upper one, exits at the middle.

    A close below the lower band opens (or keeps) a long position, a close
    above the upper band a short one.  A long position is closed on the
    first close at or above the middle band, a short one on the first close
    at or below it; in between, the position is held.  Flat during the
    first ``period - 1`` bars.
    """

    period = parameter("period", "Length of the moving average and deviation window, in bars.")
    num_std = parameter("num_std", "Distance of the bands from the middle, in standard deviations.")

    def __init__(self, *, period: int = 20, num_std: float = 2.0) -> None:
        period = check_period("period", period)
        check_number("num_std", num_std, minimum=0, inclusive=False)
        super().__init__(period=period, num_std=num_std)

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.period - 1)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        (close,) = signals.columns(bars, type(self).__name__, "close")
        return signals.positions(bars, signals.bollinger_reversion(
            close, self.period, self.num_std))


class VWAPReversionStrategy(BaseStrategy):
    """Fades closes that stray more than a threshold from the rolling VWAP.

    The VWAP is taken over the last ``period`` bars from typical prices
    ``(high + low + close) / 3``.  Short while the close is more than
    ``threshold`` (a fraction: 0.02 is 2%) above it, long while more than
    ``threshold`` below it, flat otherwise, during the first ``period - 1``
    bars and while the window traded no volume.
    """

    period = parameter("period", "Length of the rolling VWAP window, in bars.")
    threshold = parameter(
        "threshold", "Relative distance from the VWAP that triggers a trade (0.02 is 2%).")

    def __init__(self, *, period: int = 20, threshold: float = 0.02) -> None:
        period = check_period("period", period)
        check_number("threshold", threshold, minimum=0)
        super().__init__(period=period, threshold=threshold)

    @property
    def warm_up(self) -> int:
        """Bars before the indicator exists; the position is 0 during them."""
        return int(self.period - 1)

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series:
        from . import signals
        high, low, close, volume = signals.columns(
            bars, type(self).__name__, "high", "low", "close", "volume")
        return signals.positions(bars, signals.vwap_reversion(
            high, low, close, volume, self.period, self.threshold))
