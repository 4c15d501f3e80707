"""What a backtest gives back: one symbol's :class:`BacktestResult` and a
:class:`PortfolioResult`.

Both expose the account's per-date arrays (equity, cash, units, per-bar
returns, drawdown, weights) and its tables (trades, fills) as cached
properties: each is computed once, when first read, and the statistics, the
command line's files and the plot all read the same ones.  The statistics
need only the equity and the account's sums; cash, units and the tables
come from a second pass of the account, made the first time one of them is
read.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from functools import cached_property
from typing import TYPE_CHECKING, cast

import numpy as np
import pandas as pd

from quorvane.stats import bar_returns, buy_and_hold, curve_figures, drawdown, statistics

from .account import REASONS, WHERE, AccountOptions, Ledger, Market

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["BacktestResult", "PortfolioResult"]

# The statistics a result's summary line and HTML table show.
HEADLINE = ("total_return", "cagr", "volatility", "sharpe", "sortino", "max_drawdown",
            "trades", "win_rate", "exposure", "buy_and_hold_return", "turnover", "costs")


class _AccountResult:
    """The per-date arrays and tables that one account run gives, for one
    symbol or several; the subclasses shape the per-symbol ones."""

    #: The strategy that gave the positions, when known (set by
    #: :func:`~quorvane.backtest.run_strategy`).
    strategy: object | None = None

    def __init__(self, *, dates: pd.DatetimeIndex, symbols: Sequence[str], market: Market,
                 options: AccountOptions, bars_per_year: int, bars_per_year_reason: str,
                 benchmark: pd.Series | None) -> None:
        self.dates = dates
        self.symbols = tuple(symbols)
        self.options = options
        self.bars_per_year = bars_per_year
        self.bars_per_year_reason = bars_per_year_reason
        self.benchmark = benchmark
        self._market = market

    @cached_property
    def _ledger(self) -> Ledger:
        # A pass with detail has the equity and the sums too: a result read
        # for its units first (a walk-forward's chosen runs) runs the account once.
        detail = self.__dict__.get("_detail")
        return detail if detail is not None else self._market.run(self.options)

    @cached_property
    def stats(self) -> dict[str, float | int | None]:
        """Every statistic (``docs/backtest.rst``): plain floats and ints,
        None where undefined."""
        return self._statistics()

    def _statistics(self) -> dict[str, float | int | None]:
        summary = self._ledger.summary
        equity = self._ledger.equity
        return statistics(
            equity=equity, figures=curve_figures(equity, self._benchmark_curve),
            bars_per_year=self.bars_per_year, exposure=summary.held / len(self.dates),
            trades={name: getattr(summary, name) for name in (
                "trades", "wins", "gains", "losses", "returns", "best", "worst", "bars")},
            fills=summary.fills, turnover=summary.turnover, costs=summary.costs,
            buy_and_hold_return=self._buy_and_hold_return)

    @cached_property
    def _detail(self) -> Ledger:
        # The same pass again, keeping cash, units and the records; or the
        # first pass, when nothing asked for the equity before.
        ledger = self.__dict__.get("_ledger")
        if ledger is not None and ledger.units is not None:
            return ledger  # type: ignore[no-any-return]
        return self._market.run(self.options, detail=True)

    @property
    def _closes(self) -> np.ndarray:
        return self._market.close

    # -- per-date arrays ---------------------------------------------------------------

    def _series(self, values: np.ndarray, name: str) -> pd.Series:
        return pd.Series(values, index=self.dates, name=name, copy=False)

    @cached_property
    def equity(self) -> pd.Series:
        """The equity at each date's close, after its fills (the start being 1)."""
        return self._series(self._ledger.equity, "equity")

    @cached_property
    def cash(self) -> pd.Series:
        """The cash at each date's close."""
        cash = self._detail.cash
        assert cash is not None
        return self._series(cash, "cash")

    @cached_property
    def returns(self) -> pd.Series:
        """The per-bar returns ``E[t] / E[t-1] - 1`` (``E[-1] = 1``), 0 after a wipe-out."""
        return self._series(bar_returns(self._ledger.equity), "return")

    @cached_property
    def drawdown(self) -> pd.Series:
        """``E[t] / H[t] - 1``, H the highest equity so far, the starting 1 included."""
        return self._series(drawdown(self._ledger.equity), "drawdown")

    @cached_property
    def _weights(self) -> np.ndarray:
        # Each symbol at its last close; before its first bar it holds nothing.
        closes = self._closes
        marks = closes
        if np.isnan(closes).any():
            marks = pd.DataFrame(closes).ffill().fillna(0.0).to_numpy()
        units = self._units  # first: the pass with detail serves the equity too
        equity = self._ledger.equity[:, None]
        with np.errstate(divide="ignore", invalid="ignore"):
            weights = units * marks / equity
        weights[np.broadcast_to(equity == 0.0, weights.shape)] = 0.0
        return cast(np.ndarray, weights)

    @cached_property
    def _buy_and_hold(self) -> np.ndarray:
        return buy_and_hold(self._closes)

    @property
    def _buy_and_hold_return(self) -> float:
        closes = self._closes
        if closes.shape[1] == 1:  # without the curve: one array less to fill
            return float(closes[-1, 0] / closes[0, 0]) - 1.0
        return float(self._buy_and_hold[-1]) - 1.0

    @cached_property
    def buy_and_hold(self) -> pd.Series:
        """The equal-weight buy-and-hold of the symbols, without rebalancing:
        the mean of each symbol's close over its first close (1 before its
        first bar)."""
        return self._series(self._buy_and_hold, "buy_and_hold")

    @cached_property
    def _benchmark_curve(self) -> np.ndarray:
        # The curve whose per-bar returns are the benchmark's.
        if self.benchmark is not None:
            return _carried(self.benchmark, self.dates)
        closes = self._closes
        if closes.shape[1] == 1:
            return closes[:, 0]  # one symbol's buy-and-hold moves with its closes
        return self._buy_and_hold

    @cached_property
    def benchmark_returns(self) -> pd.Series:
        """The benchmark's per-bar returns that beta, alpha and correlation
        use: the buy-and-hold's, or those of the ``benchmark`` closes carried
        forward on the dates (0 on the first date and before its first
        close)."""
        curve = self._benchmark_curve
        returns = bar_returns(curve, start=curve[0])
        returns[np.isnan(returns)] = 0.0
        return self._series(returns, "benchmark_return")

    # -- tables ----------------------------------------------------------------------

    @property
    def _units(self) -> np.ndarray:
        units = self._detail.units
        assert units is not None
        return units

    @property
    def _trades(self) -> np.ndarray:
        trades = self._detail.trades
        assert trades is not None
        return trades

    @cached_property
    def trade_returns(self) -> np.ndarray:
        """The ``return`` of each trade, in the order of :attr:`trades`."""
        trades = self._trades
        return cast(np.ndarray, trades["pnl"] / trades["basis"])

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per round trip, in the order of entry (by date, then
        symbol), with the columns
        ``symbol`` (with several symbols), ``direction``, ``entry_date``, ``entry_price``,
        ``exit_date`` (NaT while open), ``exit_price`` (the last close while
        open), ``bars``, ``pnl``, ``return``, ``costs``, ``exit_reason``."""
        records = self._trades
        exits = records["exit_bar"]
        open_ = exits < 0
        exit_dates = self.dates[np.where(open_, 0, exits)]
        if open_.any():
            exit_dates = exit_dates.where(~open_, pd.NaT)  # type: ignore[call-overload]
        table = pd.DataFrame({
            "direction": np.where(records["side"] > 0, "long", "short"),
            "entry_date": self.dates[records["entry_bar"]],
            "entry_price": records["entry_price"],
            "exit_date": exit_dates,
            "exit_price": records["exit_price"],
            "bars": records["bars"],
            "pnl": records["pnl"],
            "return": self.trade_returns,
            "costs": records["costs"],
            "exit_reason": REASONS[records["exit_reason"]],
        })
        return self._with_symbols(table, records["symbol"])

    @cached_property
    def fills(self) -> pd.DataFrame:
        """One row per fill, in order, with the columns ``date``, ``symbol``
        (with several symbols), ``at`` (``close``, ``open`` or ``stop level``), ``reason``
        (``signal``, ``rebalance``, ``stop_loss``, ``take_profit``,
        ``trailing_stop``), ``price``, ``units`` (the change), ``cost`` and
        ``equity`` (the equity it was valued on)."""
        records = self._detail.fills
        assert records is not None
        table = pd.DataFrame({
            "date": self.dates[records["bar"]],
            "at": WHERE[records["at"]],
            "reason": REASONS[records["reason"]],
            "price": records["price"],
            "units": records["units"],
            "cost": records["cost"],
            "equity": records["equity"],
        })
        return self._with_symbols(table, records["symbol"])

    def _with_symbols(self, table: pd.DataFrame, codes: np.ndarray) -> pd.DataFrame:
        if len(self.symbols) > 1:
            table.insert(0, "symbol", np.array(self.symbols, dtype=object)[codes])
        return table

    # -- display -----------------------------------------------------------------------

    def title(self) -> str:
        """The strategy (``ClassName(key=value, ...)``, when known) and what
        it ran on, in one line: the plot's default title."""
        from quorvane.messages import describe
        what = describe(self.strategy) if self.strategy is not None else "a strategy"
        return f"{what} on {self._label()}"

    def _period(self) -> str:
        from quorvane.messages import when
        dates = self.dates
        return (f"{when(dates[0])} to {when(dates[-1])}, {len(dates):,} bars "
                f"({self.bars_per_year:,} a year: {self.bars_per_year_reason})")

    def _headline(self) -> list[tuple[str, str]]:
        from quorvane.stats import format_stat
        return [(name, format_stat(name, self.stats[name])) for name in HEADLINE]

    def __repr__(self) -> str:
        """The strategy, the period, the terms and the headline statistics,
        in a few lines."""
        headline = self._headline()
        names = max(len(name) for name, _ in headline)
        texts = max(len(text) for _, text in headline)
        cells = [f"{name:<{names}} {text:>{texts}}" for name, text in headline]
        rows = ["    ".join(cells[at:at + 3]) for at in range(0, len(cells), 3)]
        lines = [f"<{type(self).__name__}: {self.title()}",
                 f"  period: {self._period()}",
                 f"  costs:  {self.options.describe_costs()}",
                 f"  fills:  {self.options.describe_fills()}",
                 *(f"  {row}" for row in rows)]
        return "\n".join(lines) + ">"

    def _repr_html_(self) -> str:
        """The same as an HTML table, for notebooks."""
        import html
        header = [("strategy", self.title()), ("period", self._period()),
                  ("costs", self.options.describe_costs()),
                  ("fills", self.options.describe_fills())]
        rows = "".join(f"<tr><th style='text-align:left'>{html.escape(name)}</th>"
                       f"<td style='text-align:left'>{html.escape(text)}</td></tr>"
                       for name, text in header)
        rows += "".join(f"<tr><th style='text-align:left'>{html.escape(name)}</th>"
                        f"<td style='text-align:right'>{html.escape(text)}</td></tr>"
                        for name, text in self._headline())
        return (f"<table><caption style='text-align:left'>{type(self).__name__} "
                f"(<code>.summary()</code> has every statistic)</caption>{rows}</table>")

    def summary(self) -> pd.Series:
        """Every statistic of ``stats`` as a float Series (NaN where
        undefined), named by the strategy: results of several runs line up
        in ``pd.DataFrame({name: result.summary() for ...})``."""
        return pd.Series(self.stats, dtype="float64", name=self.title())

    def plot(self, title: str | None = None) -> Figure:
        """The prices, the equity against buy-and-hold and the drawdown, as
        ``quorvane run --plot`` draws them (needs the ``plot`` extra).

        Args:
            title: The figure's title; by default :meth:`title`.

        Returns:
            A :class:`matplotlib.figure.Figure` (a notebook shows it;
            ``savefig`` writes it).
        """
        from quorvane.plots import plot_backtest
        return plot_backtest(self, title)  # type: ignore[arg-type]

    def _label(self) -> str:
        return "one symbol"


def _carried(closes: pd.Series, dates: pd.DatetimeIndex) -> np.ndarray:
    """``closes`` carried forward on ``dates``: each date's last close at or
    before it, NaN before the first."""
    index = cast(pd.DatetimeIndex, closes.index)
    if (index.tz is None) != (dates.tz is None):
        # One side without a time zone: match the dates as written.
        index = index.tz_localize(None) if index.tz is not None else index
        dates = dates.tz_localize(None) if dates.tz is not None else dates
    at = np.searchsorted(index.as_unit("ns").asi8, dates.as_unit("ns").asi8, side="right") - 1
    values: np.ndarray = closes.to_numpy(dtype=np.float64)[np.maximum(at, 0)]
    values[at < 0] = np.nan
    return values


class BacktestResult(_AccountResult):
    """One symbol's backtest.

    ``bars`` are the bars it ran on, ``positions`` the checked target
    positions, ``options`` the account's terms, ``stats`` the statistics
    (plain floats and ints, None where undefined).  The per-date arrays
    (``equity``, ``cash``, ``units``, ``returns``, ``drawdown``, ``weights``,
    ``buy_and_hold``, ``benchmark_returns``) are Series on the bars' dates;
    ``trades`` and ``fills`` are DataFrames.
    """

    def __init__(self, *, bars: pd.DataFrame, positions: np.ndarray, market: Market,
                 options: AccountOptions, bars_per_year: int, bars_per_year_reason: str,
                 benchmark: pd.Series | None) -> None:
        self.bars = bars
        self.positions = pd.Series(positions, index=bars.index, name="position", copy=False)
        super().__init__(dates=cast(pd.DatetimeIndex, bars.index), symbols=[""], market=market, options=options,
                         bars_per_year=bars_per_year, bars_per_year_reason=bars_per_year_reason,
                         benchmark=benchmark)

    @property
    def close(self) -> pd.Series:
        return self.bars["close"]

    @cached_property
    def units(self) -> pd.Series:
        """The units held at each close."""
        return self._series(self._units[:, 0], "units")

    @cached_property
    def weights(self) -> pd.Series:
        """The held weight ``units * close / equity`` at each close (0 once wiped out)."""
        return self._series(self._weights[:, 0], "weight")


class PortfolioResult(_AccountResult):
    """The account of several symbols together.

    ``per_symbol`` holds each symbol's own backtest (run alone, as ``run
    --symbols SYMBOL`` runs it); ``stats``, the per-date arrays and the
    tables are the portfolio's, on the union of the symbols' dates.  ``units``
    and ``weights`` are DataFrames with a column per symbol; ``closes`` the
    symbols' closes on those dates (NaN where one has no bar).
    """

    def __init__(self, *, per_symbol: Mapping[str, BacktestResult], dates: pd.DatetimeIndex,
                 market: Market, options: AccountOptions, bars_per_year: int,
                 bars_per_year_reason: str, benchmark: pd.Series | None) -> None:
        self.per_symbol = dict(per_symbol)
        super().__init__(dates=dates, symbols=list(per_symbol), market=market, options=options,
                         bars_per_year=bars_per_year, bars_per_year_reason=bars_per_year_reason,
                         benchmark=benchmark)

    def _frame(self, values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=self.dates, columns=list(self.symbols), copy=False)

    @cached_property
    def closes(self) -> pd.DataFrame:
        return self._frame(self._closes)

    @cached_property
    def units(self) -> pd.DataFrame:
        """The units of each symbol at each close."""
        return self._frame(self._units)

    @cached_property
    def weights(self) -> pd.DataFrame:
        """Each symbol's held weight ``units * last close / equity`` at each close."""
        return self._frame(self._weights)

    def _label(self) -> str:
        return f"{len(self.symbols)} symbols"
