"""What :func:`quorvane.run` and the ``run`` command share: loading a
strategy by any name (:func:`load`), and a loaded strategy backtested on
each symbol's bars, then the symbols as one account
(:func:`backtest_symbols`)."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

    from quorvane.backtest import BacktestResult, PortfolioResult

__all__ = ["backtest_symbols", "load"]


def load(spec: object, params: Mapping[str, object] | None = None, *,
         symbols: list[str] | None = None, class_name: str | None = None,
         strategy_paths: Sequence[str | os.PathLike[str]] = ()) -> Any:
    """The strategy ``spec`` names, built with ``params`` as ``quorvane run``
    builds it (plugin names and strategy folders included).

    Args:
        spec: As :func:`quorvane.run` takes it.
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
