"""The backtest's entry points: :func:`backtest` (positions given),
:func:`run_strategy` (positions from a strategy) and :func:`portfolio`
(several symbols' runs as one account)."""

from __future__ import annotations

import numbers
import os
from collections.abc import Mapping
from typing import cast

import numpy as np
import pandas as pd

from quorvane.stats import infer_bars_per_year

from .account import AccountOptions, Market
from .positions import check_positions
from .results import BacktestResult, PortfolioResult

__all__ = ["backtest", "benchmark_closes", "portfolio", "run_strategy"]

_RANGES = ("open", "high", "low")


def backtest(bars: pd.DataFrame, positions: object, *, commission: float = 0.0,
             slippage: float = 0.0, fill: str = "close", rebalance: int = 0,
             stop_loss: float | None = None, take_profit: float | None = None,
             trailing_stop: float | None = None, bars_per_year: int | None = None,
             benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None,
             checked: bool = False) -> BacktestResult:
    """Backtest target ``positions`` (one per bar, from -1 to 1) over ``bars``.

    Args:
        bars: One symbol's bars: a DataFrame with the columns ``open``,
            ``high``, ``low``, ``close`` and ``volume`` and the dates (as
            the index or a ``date`` column), checked and normalised by
            :func:`quorvane.data.normalise_bars` as a data file is.
        positions: The target positions: a Series on the bars' dates, an
            array or any sequence.
        commission: Basis points of the value traded, paid on every fill.
        slippage: Basis points of the value traded, paid on every fill.
        fill: ``"close"`` fills each target at the close that decided it,
            ``"next-open"`` at the next bar's open.
        rebalance: Re-size the position to its target every that many bars
            (0: only when the target changes).
        stop_loss: Exit a trade this fraction of its entry price against it
            (0.02: 2%); None for none.
        take_profit: Exit a trade this fraction of its entry price in its
            favour; None for none.
        trailing_stop: Exit a trade this fraction below its highest high
            since entry (above its lowest low for a short); None for none.
        bars_per_year: Overrides the number inferred from the dates.
        benchmark: Closes that beta, alpha and correlation are measured
            against instead of buying and holding the symbol: a Series on
            dates, a DataFrame of bars, or the path of a bars file
            (:func:`benchmark_closes`).
        checked: The bars come from :func:`quorvane.data.read_bars` or
            :func:`~quorvane.data.normalise_bars` and were not changed since:
            skip checking them again (a pass over every value, worth
            sparing when the same bars run many times).

    Returns:
        The :class:`BacktestResult`; the account these options run is
        defined in ``docs/backtest.rst``.

    Raises:
        ValueError: An option out of range, positions that are not one number
            from -1 to 1 per bar, or bars that a data file could not hold
            (:class:`quorvane.data.DataError`, naming the row).
    """
    options = AccountOptions(commission, slippage, fill, rebalance, stop_loss, take_profit,
                             trailing_stop)
    _check_bars_per_year(bars_per_year)
    closes = benchmark_closes(benchmark)
    bars = _normal(bars, checked)
    return _single(bars, check_positions(positions, bars, source="positions"), options,
                   bars_per_year, closes)


def run_strategy(strategy: object, bars: pd.DataFrame, *, commission: float = 0.0,
                 slippage: float = 0.0, fill: str = "close", rebalance: int = 0,
                 stop_loss: float | None = None, take_profit: float | None = None,
                 trailing_stop: float | None = None, bars_per_year: int | None = None,
                 benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None,
                 checked: bool = False) -> BacktestResult:
    """Call ``strategy.generate_signals(bars)``, check the positions, run the backtest.

    The options are checked before the strategy runs, which receives the
    normalised bars (a copy: its writes do not reach the backtest).

    Args:
        strategy: Any object with a ``generate_signals(bars)`` method.
        bars: One symbol's bars, as :func:`backtest` takes them.
        commission: Basis points of the value traded, paid on every fill.
        slippage: Basis points of the value traded, paid on every fill.
        fill: ``"close"`` or ``"next-open"``, as for :func:`backtest`.
        rebalance: Re-size the position to its target every that many bars
            (0: only when the target changes).
        stop_loss: As for :func:`backtest`; None for none.
        take_profit: As for :func:`backtest`; None for none.
        trailing_stop: As for :func:`backtest`; None for none.
        bars_per_year: Overrides the number inferred from the dates (worth
            passing when the same bars run many times).
        benchmark: As for :func:`backtest`.
        checked: The bars were checked already (see :func:`backtest`).

    Returns:
        The :class:`BacktestResult`, its ``strategy`` set.

    Raises:
        TypeError: The strategy has no ``generate_signals`` method, or it
            returned something that is not one position per bar.
        ValueError: An option out of range, bad bars, or positions that are
            not one number from -1 to 1 per bar.
    """
    options = AccountOptions(commission, slippage, fill, rebalance, stop_loss, take_profit,
                             trailing_stop)
    _check_bars_per_year(bars_per_year)
    closes = benchmark_closes(benchmark)
    generate = getattr(strategy, "generate_signals", None)
    if not callable(generate):
        raise TypeError(f"{type(strategy).__name__} has no generate_signals(bars) method")
    bars = _normal(bars, checked)
    positions = check_positions(generate(_strategy_copy(bars)), bars, source="generate_signals")
    result = _single(bars, positions, options, bars_per_year, closes)
    result.strategy = strategy
    return result


def _single(bars: pd.DataFrame, positions: np.ndarray, options: AccountOptions,
            bars_per_year: int | None, benchmark: pd.Series | None) -> BacktestResult:
    close = _column(bars, "close")
    ranges = {name: _column(bars, name).reshape(-1, 1) for name in _RANGES} \
        if options.uses_ranges else {}
    market = Market(close.reshape(-1, 1), positions.reshape(-1, 1), **ranges)
    bars_per_year, reason = _annualisation(cast(pd.DatetimeIndex, bars.index), bars_per_year)
    return BacktestResult(bars=bars, positions=positions, market=market, options=options,
                          bars_per_year=bars_per_year, bars_per_year_reason=reason,
                          benchmark=benchmark)


def _column(bars: pd.DataFrame, name: str) -> np.ndarray:
    return bars[name].to_numpy(dtype=np.float64)


def _normal(bars: pd.DataFrame, checked: bool) -> pd.DataFrame:
    if not checked:
        from quorvane.data import normalise_bars
        bars = normalise_bars(bars)
    if len(bars) == 0:
        raise ValueError("there are no bars to backtest")
    return bars


def _strategy_copy(bars: pd.DataFrame) -> pd.DataFrame:
    """The bars as the strategy sees them: its writes must not reach the
    prices the backtest reads, nor the next run on the same bars (a sweep
    runs many on one frame)."""
    if _copy_on_write():
        return bars.copy(deep=False)  # free: a write copies the column it touches
    return bars.copy()


def _copy_on_write() -> bool:
    # Always on from pandas 3; an option before.
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    return bool(pd.get_option("mode.copy_on_write") is True)


def _check_bars_per_year(bars_per_year: object) -> None:
    if bars_per_year is None:
        return
    if isinstance(bars_per_year, bool) or not isinstance(bars_per_year, numbers.Integral) \
            or bars_per_year < 1:
        raise ValueError(f"bars_per_year must be a whole number >= 1, got {bars_per_year!r}")


def _annualisation(dates: pd.DatetimeIndex, bars_per_year: int | None) -> tuple[int, str]:
    if bars_per_year is None:
        return infer_bars_per_year(dates)
    return int(bars_per_year), "given"


def benchmark_closes(benchmark: object) -> pd.Series | None:
    """A benchmark as the ``benchmark`` keyword takes it, read and checked:
    worth calling once when many runs share one benchmark file.

    Args:
        benchmark: Closes as a Series on dates, bars as a DataFrame, the path
            of a file of bars, or None.

    Returns:
        A Series of positive closes on rising dates, named ``benchmark``;
        None for None.

    Raises:
        TypeError: Not closes on dates.
        ValueError: No closes, a close that is not a positive number, or
            dates that do not rise (naming the row).
    """
    if benchmark is None:
        return None
    if isinstance(benchmark, (str, os.PathLike)):
        from quorvane.data import read_bars
        benchmark = read_bars(benchmark)["close"]
    elif isinstance(benchmark, pd.DataFrame):
        from quorvane.data import normalise_bars
        benchmark = normalise_bars(benchmark, label="benchmark")["close"]
    if not isinstance(benchmark, pd.Series) or not isinstance(benchmark.index, pd.DatetimeIndex):
        raise TypeError("benchmark must be closes on dates: a Series or a DataFrame of bars "
                        f"with a DatetimeIndex, got {type(benchmark).__name__}")
    if len(benchmark) == 0:
        raise ValueError("benchmark holds no closes")
    values = pd.to_numeric(benchmark, errors="coerce").to_numpy(dtype=np.float64)
    bad = np.flatnonzero(~(np.isfinite(values) & (values > 0)))
    if bad.size:
        row = int(bad[0])
        raise ValueError(f"benchmark, row {row + 1} ({benchmark.index[row]}): the close is "
                         f"{benchmark.iloc[row]!r}; closes must be positive numbers")
    index = benchmark.index.as_unit("ns")  # one unit with the bars' dates
    stamps = index.asi8
    if stamps.size > 1 and not (stamps[1:] > stamps[:-1]).all():
        row = int(np.flatnonzero(stamps[1:] <= stamps[:-1])[0]) + 1
        raise ValueError(f"benchmark, row {row + 1} ({benchmark.index[row]}): dates must "
                         "rise, one close per date")
    return pd.Series(values, index=index, name="benchmark")


# -- several symbols ---------------------------------------------------------------

def portfolio(results: Mapping[str, BacktestResult], *, bars_per_year: int | None = None,
              benchmark: pd.Series | pd.DataFrame | str | os.PathLike[str] | None = None
              ) -> PortfolioResult:
    """Several symbols' backtests run again as one account.

    The symbols share one cash balance and are sized on one equity (each
    target ``p`` is ``p / N`` of it), over the union of their dates, with
    the account options they were run with (which must be the same).

    Args:
        results: ``{symbol: BacktestResult}``, as :func:`run_strategy` or
            :func:`backtest` gave them.
        bars_per_year: Overrides the number inferred from the union of the
            dates.
        benchmark: Replaces the equal-weight buy-and-hold as the benchmark
            (default: the one the results were run against, if they share
            one), as :func:`backtest` takes it.

    Returns:
        The :class:`PortfolioResult`; each result stays the symbol's own run,
        in its ``per_symbol``.

    Raises:
        ValueError: No results, results run with different account options or
            benchmarks, or symbols of different bar spacings.
    """
    if not results:
        raise ValueError("a portfolio needs at least one symbol's result")
    from quorvane.data import check_spacing
    check_spacing({symbol: result.bars for symbol, result in results.items()})
    items = list(results.values())
    options = items[0].options
    for symbol, result in results.items():
        if result.options != options:
            raise ValueError(f"the results were run with different account options ({symbol}: "
                             f"{result.options}; {next(iter(results))}: {options}); run them "
                             "with the same ones")
    _check_bars_per_year(bars_per_year)
    closes = benchmark_closes(benchmark) if benchmark is not None \
        else _shared_benchmark(items)
    indexes = [result.bars.index for result in items]
    dates = indexes[0]
    if any(not index.equals(dates) for index in indexes[1:]):
        dates = indexes[0].append(indexes[1:]).unique().sort_values()
    dates = cast(pd.DatetimeIndex, dates.rename("date"))
    aligned = {name: np.full((len(dates), len(items)), np.nan)
               for name in ("close", "target", *(_RANGES if options.uses_ranges else ()))}
    for column, (index, result) in enumerate(zip(indexes, items)):
        rows = slice(None) if index is dates or index.equals(dates) else dates.get_indexer(index)
        for name, values in aligned.items():
            source = result.positions if name == "target" else result.bars[name]
            values[rows, column] = source.to_numpy(dtype=np.float64)
    ranges = {name: aligned[name] for name in _RANGES if name in aligned}
    market = Market(aligned["close"], aligned["target"], **ranges)
    bars_per_year, reason = _annualisation(dates, bars_per_year)
    combined = PortfolioResult(per_symbol=results, dates=dates, market=market, options=options,
                               bars_per_year=bars_per_year, bars_per_year_reason=reason,
                               benchmark=closes)
    if all(result.strategy is items[0].strategy for result in items):
        combined.strategy = items[0].strategy
    return combined


def _shared_benchmark(results: list[BacktestResult]) -> pd.Series | None:
    first = results[0].benchmark
    if any(not _same(result.benchmark, first) for result in results[1:]):
        raise ValueError("the results were run against different benchmarks; pass the "
                         "portfolio's as benchmark=")
    return first


def _same(a: pd.Series | None, b: pd.Series | None) -> bool:
    return a is b or (a is not None and b is not None and a.equals(b))
