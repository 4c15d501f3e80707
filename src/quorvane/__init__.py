"""quorvane: write trading strategies, load them by any name, backtest them
and sweep their parameters.

A strategy turns a DataFrame of price bars into one target position per bar,
from -1 (fully short) through 0 (flat) to +1 (fully long).  User strategies subclass
``quorvane.strategy.Strategy``; the built-in ones live in
``quorvane.trader_core.strategies``.  The compiled module
``quorvane.strategy_loader`` turns a name, class, instance, source file or
module path into a ready strategy object.

The entry points for scripts and notebooks:

- :func:`quorvane.run`: load a strategy, read the bars and backtest, as
  ``quorvane run`` does;
- :func:`quorvane.sweep`: a parameter sweep, as ``quorvane sweep`` does;
- :mod:`quorvane.backtest`: the backtest of given bars and positions
  (``quorvane.backtest.backtest``), of a strategy
  (``quorvane.backtest.run_strategy``) and of several symbols as one
  account (``quorvane.backtest.portfolio``).

Importing this package is deliberately cheap: it loads neither the compiled
loader nor the strategy modules, nor numpy and pandas; each entry point is
imported when first used.
"""

from typing import TYPE_CHECKING

# Cheap: the runner imports the data stack when it runs, not before.
from quorvane.runner import run

if TYPE_CHECKING:
    # What type checkers and editors see; at run time __getattr__ imports them.
    from quorvane import backtest as backtest
    from quorvane.sweeps import sweep as sweep

__version__ = "0.1.0"

# The entry points, then the public modules (documentation tools list these).
__all__ = ["__version__", "run", "sweep", "backtest", "cli", "data", "indicators", "lookahead",
           "overfitting", "plots", "plugins", "sources", "stats", "strategy", "strategy_loader",
           "sweeps", "trader_core", "walkforward"]

# Name -> (module, attribute; None for the module itself).
_LAZY = {
    "backtest": ("quorvane.backtest", None),
    "sweep": ("quorvane.sweeps", "sweep"),
}


def __getattr__(name: str) -> object:
    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib
    module, attribute = _LAZY[name]
    found = importlib.import_module(module)
    return found if attribute is None else getattr(found, attribute)


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
