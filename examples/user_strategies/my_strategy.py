"""An example user strategy: a channel breakout.

Load it by path, from the project root:

    python -m quorvane run examples/user_strategies/my_strategy.py --param lookback=30

or from Python with ``load_strategy('examples/user_strategies/my_strategy.py')``.
The loader executes this file and picks the one strategy class it finds
here, so the file defines exactly one.
"""

import numpy as np
import pandas as pd

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
        # The channel of the `lookback` bars before each bar (NaN until there are that many).
        upper = bars["high"].rolling(self.lookback).max().shift(1)
        lower = bars["low"].rolling(self.lookback).min().shift(1)
        breakout = np.select([bars["close"] > upper, bars["close"] < lower], [1.0, -1.0],
                             default=np.nan)
        # Hold each breakout's side until the next one.
        return pd.Series(breakout, index=bars.index).ffill().fillna(0.0)
