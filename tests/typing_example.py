"""A user script that calls every function of quorvane.strategy_loader.

tests/test_typing.py checks it with ``mypy --strict`` against the installed
stub and also runs it, so the types it asserts are the ones it gets.
"""

from collections.abc import Sequence
from pathlib import Path
from typing import assert_type

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

    def generate_signals(self, bars: Sequence[object]) -> list[int]:
        return [1] * len(bars)


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

    signals: list[int] = from_class.generate_signals([(0, 1.0, 1.0, 1.0, 1.0, 1.0)])
    print(len(names), signals)


if __name__ == "__main__":
    main()
