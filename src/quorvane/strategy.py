"""The public base class of user strategies.

A user strategy is a subclass of :class:`Strategy` that overrides
:meth:`Strategy.generate_signals`, which receives the bars as a pandas
DataFrame and returns one target position per bar::

    from quorvane.indicators import sma
    from quorvane.strategy import Strategy

    class AboveAverage(Strategy):
        '''Long while the close is above its 5-bar average, flat otherwise.'''

        def generate_signals(self, bars: pd.DataFrame) -> pd.Series | np.ndarray | Sequence[float]:
            average = sma(bars["close"], self.params.get("period", 5))
            return (bars["close"] > average).astype(float)

The loader creates it as ``AboveAverage(symbols=[...], period=5)``: the
ticker symbols come first, the caller's extra keyword arguments after.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the data stack is imported when strategies compute, not with this module
    import numpy as np
    import pandas as pd

__all__ = ["Strategy"]


class Strategy:
    """Base class of user strategies: subclass it and override generate_signals.

    ``symbols`` is the list of ticker symbols the strategy trades; the list
    the caller passes is kept as the same object, so a caller that adds
    symbols later is seen by the strategy.  ``None`` means no symbols yet and
    becomes a new empty list.  Every other keyword argument is kept in the
    dict ``params``.

    A class may derive from both :class:`Strategy` and
    :class:`quorvane.trader_core.strategies.base.BaseStrategy`; list
    :class:`Strategy` first so that this constructor, which knows about
    ``symbols``, is the one that runs.
    """

    def __init__(self, symbols: list[str] | None = None, **params: object) -> None:
        if symbols is None:
            symbols = []
        elif isinstance(symbols, (str, bytes)):
            # A lone ticker would otherwise be split into single letters.
            raise TypeError(
                f"symbols must be a list of ticker symbols or None, got {symbols!r}"
            )
        elif not isinstance(symbols, list):
            symbols = list(symbols)
        self.symbols: list[str] = symbols
        self.params: dict[str, object] = params

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series | np.ndarray | Sequence[float]:
        """Return one target position per bar: a number from -1 (fully short)
        to +1 (fully long), 0 flat; fractions size the position.

        Args:
            bars: One symbol's bars as :func:`quorvane.data.read_bars`
                returns them: a rising ``DatetimeIndex`` named ``date`` and
                float64 columns ``open``, ``high``, ``low``, ``close``,
                ``volume``.  A copy: writing to it changes nothing else.

        Returns:
            A Series on the bars' index, a numpy array or any sequence of
            numbers; the position of bar ``t`` is held from its close to the
            next one.
        """
        raise NotImplementedError(
            f"{type(self).__name__} must override generate_signals(bars) and "
            "return one target position (from -1 to +1) per bar"
        )

    def __repr__(self) -> str:
        args = [f"symbols={self.symbols!r}"]
        args += [f"{name}={value!r}" for name, value in self.params.items()]
        return f"{type(self).__name__}({', '.join(args)})"
