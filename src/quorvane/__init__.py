"""quorvane: write trading strategies, load them by any name, backtest them
and sweep their parameters.

A strategy turns a DataFrame of price bars into one target position per bar,
from -1 (fully short) through 0 (flat) to +1 (fully long).  User strategies subclass
``quorvane.strategy.Strategy``; the built-in ones live in
``quorvane.trader_core.strategies``.  The compiled module
``quorvane.strategy_loader`` turns a name, class, instance, source file or
module path into a ready strategy object.

Importing this package is deliberately cheap: it loads neither the compiled
loader nor the strategy modules.
"""

__version__ = "0.1.0"


def __getattr__(name: str) -> object:
    # quorvane.sweep(...) without importing pandas or the sweep engines with
    # the package.
    if name == "sweep":
        from quorvane.sweeps import sweep
        return sweep
    if name == "walk_forward":
        from quorvane.walkforward.engine import walk_forward
        return walk_forward
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
