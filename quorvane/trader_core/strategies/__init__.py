"""The built-in strategies and their base class ``BaseStrategy``.

Every built-in strategy is created from keyword arguments alone (all have
defaults), checks its parameters at construction and turns a sequence of
bars into one position signal per bar: +1 long, 0 flat, -1 short.  The
signal is 0 while the strategy's indicator warms up.
"""

from __future__ import annotations

from .base import BaseStrategy, check_number, check_ordered, check_period, parameter

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
    """Long while the close is above its simple moving average, short while below."""

    ma_period = parameter("ma_period", "Length of the moving average, in bars.")

    def __init__(self, *, ma_period: int = 20) -> None:
        super().__init__(ma_period=check_period("ma_period", ma_period))


class DualSMAMomentumStrategy(BaseStrategy):
    """Long while the fast moving average is above the slow one, short while below."""

    fast_period = parameter("fast_period", "Length of the fast moving average, in bars.")
    slow_period = parameter("slow_period", "Length of the slow moving average, in bars.")

    def __init__(self, *, fast_period: int = 10, slow_period: int = 30) -> None:
        fast = check_period("fast_period", fast_period)
        slow = check_period("slow_period", slow_period)
        check_ordered("fast_period", fast, "slow_period", slow)
        super().__init__(fast_period=fast, slow_period=slow)


class RSIMomentumStrategy(BaseStrategy):
    """Long when RSI climbs back above oversold, short when it falls back below overbought."""

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


class MACDCrossoverStrategy(BaseStrategy):
    """Long while the MACD line is above its signal line, short while below."""

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


class BollingerMeanReversionStrategy(BaseStrategy):
    """Buys below the lower Bollinger band, sells above the upper one, exits at the middle."""

    period = parameter("period", "Length of the moving average and deviation window, in bars.")
    num_std = parameter("num_std", "Distance of the bands from the middle, in standard deviations.")

    def __init__(self, *, period: int = 20, num_std: float = 2.0) -> None:
        period = check_period("period", period)
        check_number("num_std", num_std, minimum=0, inclusive=False)
        super().__init__(period=period, num_std=num_std)


class VWAPReversionStrategy(BaseStrategy):
    """Fades closes that stray more than a threshold from the rolling VWAP."""

    period = parameter("period", "Length of the rolling VWAP window, in bars.")
    threshold = parameter(
        "threshold", "Relative distance from the VWAP that triggers a trade (0.02 is 2%).")

    def __init__(self, *, period: int = 20, threshold: float = 0.02) -> None:
        period = check_period("period", period)
        check_number("threshold", threshold, minimum=0)
        super().__init__(period=period, threshold=threshold)
