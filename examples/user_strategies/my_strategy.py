"""An example user strategy: a channel breakout.

Load it by path, from the project root:

    python -m quorvane run examples/user_strategies/my_strategy.py --symbols OGDC --param lookback=30

or from Python with ``load_strategy('examples/user_strategies/my_strategy.py')``.
The loader executes this file and picks the one strategy class it finds
here, so the file defines exactly one.
"""

from quorvane.bars import as_bars
from quorvane.strategy import Strategy


class BreakoutStrategy(Strategy):
    """Long after a close above the previous ``lookback`` highs, short after one below their lows.

    The position is held until the opposite breakout; flat until the first
    one.  ``lookback`` (default 20) is a number of bars.
    """

    def __init__(self, symbols=None, lookback=20):
        if isinstance(lookback, bool) or not isinstance(lookback, int) or lookback < 1:
            raise ValueError(f"lookback must be an integer >= 1, got {lookback!r}")
        super().__init__(symbols=symbols, lookback=lookback)
        self.lookback = lookback

    def generate_signals(self, bars):
        bars = as_bars(bars)
        signals = []
        position = 0
        for index, bar in enumerate(bars):
            window = bars[max(0, index - self.lookback):index]
            if len(window) == self.lookback:
                if bar.close > max(b.high for b in window):
                    position = 1
                elif bar.close < min(b.low for b in window):
                    position = -1
            signals.append(position)
        return signals
