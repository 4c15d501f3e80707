"""quorvane: a small trading package built around pluggable strategies.

A strategy turns a series of price bars into one position signal per bar
(+1 long, 0 flat, -1 short).  User strategies subclass
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
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
