"""The public base class of user strategies.

A user strategy is a subclass of :class:`Strategy` that overrides
:meth:`Strategy.generate_signals`::

    from quorvane.indicators import sma
    from quorvane.bars import as_bars
    from quorvane.strategy import Strategy

    class AboveAverage(Strategy):
        '''Long while the close is above its 5-bar average.'''

        def generate_signals(self, bars):
            closes = [bar.close for bar in as_bars(bars)]
            average = sma(closes, self.params.get("period", 5))
            return [0 if a is None else (1 if c > a else 0)
                    for c, a in zip(closes, average)]

The loader creates it as ``AboveAverage(symbols=[...], period=5)``: the
ticker symbols come first, the caller's extra keyword arguments after.
"""

from __future__ import annotations

__all__ = ["Strategy"]


class Strategy:
    """Base class of user strategies: subclass it and override generate_signals.

    ``symbols`` is the list of ticker symbols the strategy trades; the list
    the caller passes is kept as the same object, so a caller that adds
    symbols later is seen by the strategy.  ``None`` means no symbols yet and
    becomes a new empty list.  Every other keyword argument is kept in the
    dict ``params``.

    A class may derive from both :class:`Strategy` and
    :class:`quorvane.trader_core.strategies.BaseStrategy`; list
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

    def generate_signals(self, bars) -> list[int]:
        """Return one position signal per bar: +1 long, 0 flat, -1 short.

        ``bars`` is a sequence of :class:`quorvane.bars.Bar`, 6-tuples
        ``(date, open, high, low, close, volume)`` or mappings with those
        keys; :func:`quorvane.bars.as_bars` turns any of them into bars.
        """
        raise NotImplementedError(
            f"{type(self).__name__} must override generate_signals(bars) and "
            "return one signal (+1 long, 0 flat, -1 short) per bar"
        )

    def __repr__(self) -> str:
        args = [f"symbols={self.symbols!r}"]
        args += [f"{name}={value!r}" for name, value in self.params.items()]
        return f"{type(self).__name__}({', '.join(args)})"
