"""A strategy's backtest in one call, from its name and the data's:
:func:`run`, also ``quorvane.run``, which is what ``quorvane run`` does.

:func:`backtest_symbols` is the part the command shares with it: a loaded
strategy run on each symbol's bars, then the symbols as one account.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, overload

if TYPE_CHECKING:
    import pandas as pd

    from quorvane.backtest import BacktestResult, PortfolioResult

__all__ = ["backtest_symbols", "load", "run"]


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
        stop_loss: Exit a trade this fraction of its entry price against it
            (0.02: 2%); None for none.
        take_profit: Exit a trade this fraction of its entry price in its
            favour; None for none.
        trailing_stop: Exit a trade this fraction below its highest high
            since entry (above its lowest low for a short); None for none.
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


def load(spec: object, params: Mapping[str, object] | None = None, *,
         symbols: list[str] | None = None, class_name: str | None = None,
         strategy_paths: Sequence[str | os.PathLike[str]] = ()) -> Any:
    """The strategy ``spec`` names, built with ``params`` as ``quorvane run``
    builds it (plugin names and strategy folders included).

    Args:
        spec: As :func:`run` takes it.
        params: Keyword arguments for the strategy's constructor.
        symbols: Given to the strategy as ``load_strategy`` gives them.
        class_name: The class to take from a strategy file holding several.
        strategy_paths: Folders of strategy files ``spec`` may name.

    Returns:
        The strategy instance.
    """
    import quorvane.strategy_loader as loader
    from quorvane import plugins, sources

    keywords = dict(params or {})
    if isinstance(spec, os.PathLike):
        spec = os.fspath(spec)
    if isinstance(spec, str):
        plugins.register_entry_points()
        resolved, found = sources.resolve(spec, strategy_paths)
        if class_name is not None:
            found["class_name"] = class_name
        with _beside(resolved):
            target, found = sources.load_target(resolved, found)
        return loader.load_strategy(target, symbols, **found, **keywords)
    if not isinstance(spec, type) and keywords:
        raise TypeError(f"params cannot apply to a {type(spec).__name__} instance, which is "
                        "built already: pass its class, name or file")
    return loader.load_strategy(spec, symbols, **keywords)  # type: ignore[call-overload]


@contextlib.contextmanager
def _beside(spec: str) -> Iterator[None]:
    """A strategy file's folder on ``sys.path`` while the file runs, as for
    ``python file.py``, so that helper modules beside it import."""
    folder = os.path.dirname(spec) if spec.endswith(".py") else ""
    if not folder or folder in sys.path:
        yield
        return
    sys.path.insert(0, folder)
    try:
        yield
    finally:
        with contextlib.suppress(ValueError):
            sys.path.remove(folder)


def backtest_symbols(strategy: object, universe: Mapping[str, pd.DataFrame], *,
                     each: Callable[[int, str, pd.DataFrame], None] | None = None,
                     **account: Any) -> tuple[dict[str, BacktestResult], PortfolioResult | None]:
    """``strategy`` backtested on each symbol's bars, then, with several
    symbols, all of them as one account.

    Args:
        strategy: A loaded strategy.
        universe: ``{symbol: bars}`` as :func:`quorvane.data.load_data`
            gives them (checked already).
        each: Called with the number (from 1), the symbol and the bars
            before each symbol runs.
        **account: The keywords of :func:`quorvane.backtest.run_strategy`.

    Returns:
        ``(results, portfolio)``, each symbol's result and their
        :class:`~quorvane.backtest.PortfolioResult` (None for one symbol).
    """
    from quorvane.backtest import portfolio, run_strategy

    results = {}
    for number, (symbol, bars) in enumerate(universe.items(), start=1):
        if each is not None:
            each(number, symbol, bars)
        results[symbol] = run_strategy(strategy, bars, **account, checked=True)
    combined = (portfolio(results, bars_per_year=account.get("bars_per_year"))
                if len(results) > 1 else None)
    return results, combined
