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
- :func:`quorvane.walk_forward`: a walk-forward run, as ``quorvane
  walkforward`` does;
- :mod:`quorvane.backtest`: the backtest of given bars and positions
  (``quorvane.backtest.backtest``), of a strategy
  (``quorvane.backtest.run_strategy``) and of several symbols as one
  account (``quorvane.backtest.portfolio``).

Importing this package is deliberately cheap: it loads neither the compiled
loader nor the strategy modules, nor numpy and pandas; each entry point is
imported when first used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, overload

if TYPE_CHECKING:
    import os
    from collections.abc import Mapping, Sequence

    import pandas as pd

    # What type checkers and editors see; at run time __getattr__ imports them.
    from quorvane import backtest as backtest
    from quorvane.backtest import BacktestResult, PortfolioResult
    from quorvane.sweeps import sweep as sweep
    from quorvane.walkforward.engine import walk_forward as walk_forward

__version__ = "0.1.0"

# The entry points, then the public modules (documentation tools list these).
__all__ = ["__version__", "run", "sweep", "walk_forward", "backtest", "cli", "data",
           "indicators", "lookahead", "overfitting", "plots", "plugins", "sources", "stats", "strategy", "strategy_loader",
           "sweeps", "trader_core", "walkforward"]

# Name -> (module, attribute; None for the module itself).
_LAZY = {
    "backtest": ("quorvane.backtest", None),
    "sweep": ("quorvane.sweeps", "sweep"),
    "walk_forward": ("quorvane.walkforward.engine", "walk_forward"),
}


@overload
def run(spec: object, data: pd.DataFrame, *,
        params: Mapping[str, object] | None = None, symbols: Sequence[str] | None = None,
        class_name: str | None = None, strategy_paths: Sequence[str | os.PathLike[str]] = (),
        commission: float = 0.0, slippage: float = 0.0, fill: str = "close", rebalance: int = 0,
        stop_loss: float | None = None, take_profit: float | None = None,
        trailing_stop: float | None = None, bars_per_year: int | None = None,
        benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None
        ) -> BacktestResult: ...
@overload
def run(spec: object,
        data: str | os.PathLike[str] | Mapping[str, pd.DataFrame] | None = None, *,
        params: Mapping[str, object] | None = None, symbols: Sequence[str] | None = None,
        class_name: str | None = None, strategy_paths: Sequence[str | os.PathLike[str]] = (),
        commission: float = 0.0, slippage: float = 0.0, fill: str = "close", rebalance: int = 0,
        stop_loss: float | None = None, take_profit: float | None = None,
        trailing_stop: float | None = None, bars_per_year: int | None = None,
        benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None
        ) -> BacktestResult | PortfolioResult: ...


def run(spec: object,
        data: str | os.PathLike[str] | pd.DataFrame | Mapping[str, pd.DataFrame] | None = None,
        *, params: Mapping[str, object] | None = None, symbols: Sequence[str] | None = None,
        class_name: str | None = None, strategy_paths: Sequence[str | os.PathLike[str]] = (),
        commission: float = 0.0, slippage: float = 0.0, fill: str = "close", rebalance: int = 0,
        stop_loss: float | None = None, take_profit: float | None = None,
        trailing_stop: float | None = None, bars_per_year: int | None = None,
        benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None
        ) -> BacktestResult | PortfolioResult:
    """Load a strategy, read the bars and backtest: ``quorvane run`` as a function.

    The same options give the same figures as the command line::

        result = quorvane.run("sma_momentum", "prices.csv", params={"ma_period": 20},
                              commission=5)
        result.stats == json.loads(<quorvane run sma_momentum --data prices.csv
                                    --param ma_period=20 --commission 5 --json>)["stats"]

    Args:
        spec: The strategy: a registered name (built-in or plugin), the path
            of a ``.py`` file, a module path ``package.module.ClassName``, a
            strategy folder's name, a strategy class, or an instance (used as
            it is, so without ``params``).
        data: The bars: None for the shipped synthetic sample, the path of
            a CSV or Parquet file or of a folder of them, a DataFrame of one
            symbol's bars, or ``{symbol: DataFrame}``
            (:func:`quorvane.data.load_data`).
        params: Keyword arguments for the strategy's constructor
            (``--param``).
        symbols: The symbols of the data to run, also given to the strategy
            (``--symbols``); None runs them all.
        class_name: The class to take from a strategy file holding several
            (``--class-name``).
        strategy_paths: Folders of strategy files whose classes ``spec``
            may name (``--strategy-path``).
        commission: Basis points of the value traded, paid on every fill.
        slippage: Basis points of the value traded, paid on every fill.
        fill: ``"close"`` or ``"next-open"``: when a target is filled.
        rebalance: Re-size every symbol to its target every that many dates
            (0: only when a target changes).
        stop_loss: A stop, as :func:`quorvane.backtest.backtest` takes it
            (0.02: 2% of the entry price); None for none.
        take_profit: Likewise.
        trailing_stop: Likewise.
        bars_per_year: Annualise with this many bars a year instead of the
            number read from the dates.
        benchmark: Closes that beta, alpha and correlation are measured
            against (a Series, a DataFrame of bars or a bars file) instead of
            buying and holding the symbols.

    Returns:
        One symbol's :class:`~quorvane.backtest.BacktestResult`, or with
        several symbols their :class:`~quorvane.backtest.PortfolioResult`
        (each symbol's own run in ``per_symbol``).  The account these
        options run is defined in ``docs/backtest.rst``.

    Raises:
        quorvane.sources.StrategySourceError: ``spec`` names no strategy.
        quorvane.data.DataError: Bad data, naming the file or symbol and the row.
        FileNotFoundError: ``data`` names no file or folder.
        ValueError: An account option out of range, or positions that are not
            one number from -1 to 1 per bar.
        TypeError: ``params`` given with an instance, or a strategy without
            ``generate_signals``.
    """
    from quorvane.backtest import AccountOptions, benchmark_closes
    from quorvane.data import load_data
    from quorvane.runner import backtest_symbols, load

    # Every option is checked before the strategy's code runs.
    AccountOptions(commission, slippage, fill, rebalance, stop_loss, take_profit, trailing_stop)
    closes = benchmark_closes(benchmark)
    chosen = None if symbols is None else list(symbols)
    strategy = load(spec, params, symbols=chosen, class_name=class_name,
                    strategy_paths=strategy_paths)
    universe = load_data(data, chosen)
    results, combined = backtest_symbols(
        strategy, universe, commission=commission, slippage=slippage, fill=fill,
        rebalance=rebalance, stop_loss=stop_loss, take_profit=take_profit,
        trailing_stop=trailing_stop, bars_per_year=bars_per_year, benchmark=closes)
    return combined if combined is not None else next(iter(results.values()))


def __getattr__(name: str) -> object:
    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib
    module, attribute = _LAZY[name]
    found = importlib.import_module(module)
    return found if attribute is None else getattr(found, attribute)


def __dir__() -> list[str]:
    # The names a user may want, not the helpers of this file.
    return sorted({*globals(), *_LAZY} - {"annotations", "overload", "TYPE_CHECKING"})
