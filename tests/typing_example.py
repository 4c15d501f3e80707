"""A user script that calls every function of quorvane.strategy_loader and
the package's entry points, with a strategy of its own.

tests/test_typing.py checks it with ``mypy --strict`` against the installed
package and also runs it, so the types it asserts are the ones it gets.
"""

from pathlib import Path
from typing import assert_type

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

import quorvane
from quorvane.backtest import BacktestResult, PortfolioResult
from quorvane.data import load_data
from quorvane.indicators import sma
from quorvane.strategy import Strategy
from quorvane.strategy_loader import (
    BUILTIN_STRATEGIES,
    list_strategies,
    load_strategy,
    load_strategy_from_file,
    load_strategy_from_module,
    register_strategy,
)
from quorvane.trader_core.strategies import BaseStrategy, SMAMomentumStrategy

EXAMPLE_FILE = Path(__file__).resolve().parent.parent / "examples" / "user_strategies" / "my_strategy.py"


class AlwaysLong(Strategy):
    """Long on every bar."""

    def generate_signals(self, bars: pd.DataFrame) -> list[int]:
        return [1] * len(bars)


class AboveAverage(Strategy):
    """Long while the close is above its average, flat otherwise."""

    def __init__(self, symbols: list[str] | None = None, period: int = 10) -> None:
        super().__init__(symbols=symbols, period=period)
        self.period = period

    def generate_signals(self, bars: pd.DataFrame) -> np.ndarray:
        close = bars["close"].to_numpy()
        return (close > sma(close, self.period)).astype(float)


def entry_points() -> None:
    bars = load_data(None)["sample_daily"]
    assert_type(bars, pd.DataFrame)

    by_name = quorvane.run("sma_momentum", params={"ma_period": 20}, commission=5)
    assert_type(by_name, BacktestResult | PortfolioResult)
    mine = quorvane.run(AboveAverage, bars, params={"period": 15}, fill="next-open")
    assert_type(mine, BacktestResult)
    assert isinstance(mine.strategy, AboveAverage)

    assert_type(mine.summary(), pd.Series)
    stats: dict[str, float | int | None] = mine.stats
    assert_type(mine.plot(), Figure)

    table = quorvane.sweep(AboveAverage, {"period": [5, 10]}, bars, jobs=1)
    assert_type(table, pd.DataFrame)
    direct = quorvane.backtest.backtest(bars, [1.0] * len(bars))
    assert_type(direct, BacktestResult)
    assert len(table) == 2 and direct.stats["trades"] == 1 and stats["trades"]


def main() -> None:
    by_name = load_strategy("sma_momentum", ma_period=20)
    assert_type(by_name, Strategy | BaseStrategy)
    assert isinstance(by_name, SMAMomentumStrategy)

    from_class = load_strategy(AlwaysLong, symbols=["OGDC"])
    assert_type(from_class, AlwaysLong)
    assert from_class.symbols == ["OGDC"]

    same = load_strategy(from_class)
    assert_type(same, AlwaysLong)
    assert same is from_class

    from_file = load_strategy_from_file(EXAMPLE_FILE, symbols=["OGDC"], lookback=5)
    assert_type(from_file, Strategy | BaseStrategy)
    from_text_path = load_strategy_from_file(str(EXAMPLE_FILE), class_name="BreakoutStrategy")
    assert type(from_file).__name__ == type(from_text_path).__name__ == "BreakoutStrategy"

    from_module = load_strategy_from_module(
        "quorvane.trader_core.strategies.DualSMAMomentumStrategy", fast_period=5, slow_period=15
    )
    assert_type(from_module, Strategy | BaseStrategy)

    register_strategy("always_long", AlwaysLong)
    names: list[str] = list_strategies()
    assert names[-1] == "always_long"
    registered: type[Strategy] | type[BaseStrategy] = BUILTIN_STRATEGIES["always_long"]
    assert registered is AlwaysLong

    signals: list[int] = from_class.generate_signals(pd.DataFrame({"close": [1.0]}))
    print(len(names), signals)
    entry_points()


if __name__ == "__main__":
    main()
