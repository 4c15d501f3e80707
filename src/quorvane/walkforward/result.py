"""What a walk-forward run gives back: :class:`WalkForward`, with its folds,
the stitched out-of-sample curve and its statistics, the walk-forward
efficiency and the overfitting figures of the whole sample's sweep."""

from __future__ import annotations

import html
import logging
from collections.abc import Mapping, Sequence
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .stitch import Stitched
from .windows import Fold, Length

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["CURVE_STATISTICS", "WalkForward"]

# The statistics of the backtest that an equity curve and its exposure define.
CURVE_STATISTICS = ("total_return", "cagr", "volatility", "sharpe", "sortino", "calmar",
                    "max_drawdown", "max_drawdown_bars", "exposure")
# A figure is about a thousand pixels wide: longer curves are thinned.
_POINTS = 4000


class WalkForward:
    """The result of :func:`quorvane.walk_forward`.

    ``folds`` is a DataFrame with one row per fold (the windows' first and
    last dates, the chosen parameters, the in-sample ``score``, and the test
    window's ``test_total_return`` and ``test_sharpe``); ``equity`` and
    ``returns`` the stitched out-of-sample curve; ``stats`` its statistics
    (those defined from an equity curve and exposure); ``efficiency`` the
    walk-forward efficiency; ``deflated_sharpe``, ``pbo`` and ``trials``
    the overfitting figures of the sweep of every combination over all the
    bars; ``winner`` the parameters that score best over all the bars (with
    hindsight), and ``winner_equity`` their curve over the same bars;
    ``lookahead`` the look-ahead check's findings by symbol (None if not
    checked); ``combinations`` the grid's combinations; ``errors`` the combinations that could not run, each with the
    text of its error (they are never chosen).
    """

    def __init__(self, *, dates: pd.DatetimeIndex, folds: Sequence[Fold],
                 combinations: Sequence[Mapping[str, object]], parameters: Sequence[str],
                 fixed: Mapping[str, object], chosen: Sequence[int], scores: np.ndarray,
                 stitched: Stitched, exposure: float, bars_per_year: int, select: str,
                 train: Length, test: Length, anchored: bool, winner: int,
                 winner_returns: np.ndarray, overfitting: Mapping[str, Any],
                 lookahead: Mapping[str, Any] | None, symbols: Sequence[str],
                 errors: Sequence[tuple[Mapping[str, object], str]] = ()) -> None:
        self.dates = dates
        self.fold_windows = list(folds)
        self.select, self.train, self.test, self.anchored = select, train, test, anchored
        self.bars_per_year = bars_per_year
        self.symbols = list(symbols)
        self.chosen = [dict(fixed) | dict(combinations[int(run)]) for run in chosen]
        self.winner = dict(fixed) | dict(combinations[winner])
        self.efficiency = stitched.efficiency
        self.trials = int(overfitting["trials"])
        self.deflated_sharpe: float | None = overfitting["deflated_sharpe"]
        self.pbo: float | None = overfitting["pbo"]
        self.lookahead = None if lookahead is None else dict(lookahead)
        self.errors = [(dict(combination), text) for combination, text in errors]
        self.combinations = [dict(combination) for combination in combinations]
        self._stitched = stitched
        self._scores = np.array([scores[int(run), j] for j, run in enumerate(chosen)])
        self._exposure = exposure
        self._winner_returns = np.asarray(winner_returns, dtype=np.float64)
        self._parameters = [*parameters, *(key for key in fixed if key not in parameters)]

    # -- tables and curves ----------------------------------------------------------

    @cached_property
    def folds(self) -> pd.DataFrame:
        """The folds table, indexed by fold number from 1.

        Its columns: ``train_start``, ``train_end``, ``test_start`` and
        ``test_end`` (the first and last dates of each window), the chosen
        parameters, ``score``, ``test_total_return`` and ``test_sharpe``.
        """
        windows = self.fold_windows
        table = pd.DataFrame({
            "train_start": self.dates[[f.train_start for f in windows]],
            "train_end": self.dates[[f.train_end - 1 for f in windows]],
            "test_start": self.dates[[f.test_start for f in windows]],
            "test_end": self.dates[[f.test_end - 1 for f in windows]],
        })
        for key in self._parameters:
            table[key] = pd.Series([params.get(key) for params in self.chosen], dtype=object)
        table = table.infer_objects()
        table["score"] = self._scores
        table["test_total_return"] = self._stitched.returns_by_fold
        table["test_sharpe"] = self._stitched.sharpe_by_fold
        table.index = pd.RangeIndex(1, len(windows) + 1, name="fold")
        return table

    @cached_property
    def returns(self) -> pd.Series:
        """The stitched per-bar returns, switching costs included."""
        return pd.Series(self._stitched.returns, index=self._test_dates, name="return")

    @cached_property
    def equity(self) -> pd.Series:
        """The stitched equity, from 1 at the close before the first test window."""
        return pd.Series(self._stitched.equity, index=self._test_dates, name="equity")

    @cached_property
    def winner_equity(self) -> pd.Series:
        """The full-sample winner's equity over the test windows' bars, from 1
        at the same close: what hindsight would have made."""
        return pd.Series(np.cumprod(1.0 + self._winner_returns), index=self._test_dates,
                         name="winner_equity")

    @property
    def _test_dates(self) -> pd.DatetimeIndex:
        return self.dates[self._stitched.start:self.fold_windows[-1].test_end]

    @cached_property
    def stats(self) -> dict[str, float | int | None]:
        """The stitched curve's statistics, as ``quorvane run`` defines them:
        those defined from an equity curve and exposure (``total_return``,
        ``cagr``, ``volatility``, ``sharpe``, ``sortino``, ``calmar``,
        ``max_drawdown``, ``max_drawdown_bars``, ``exposure``)."""
        from quorvane.stats import curve_figures, statistics

        equity = self._stitched.equity
        none = {"trades": 0, "wins": 0, "gains": 0.0, "losses": 0.0, "returns": 0.0,
                "best": 0.0, "worst": 0.0, "bars": 0}
        every = statistics(equity=equity, figures=curve_figures(equity, equity),
                           bars_per_year=self.bars_per_year, exposure=self._exposure,
                           trades=none, fills=0, turnover=0.0, costs=0.0,
                           buy_and_hold_return=0.0)
        return {name: every[name] for name in CURVE_STATISTICS}

    def summary(self) -> pd.Series:
        """The main figures as one Series.

        Returns:
            The stitched statistics, the efficiency, the overfitting figures
            and the number of folds, by name.
        """
        return pd.Series({**self.stats, "efficiency": self.efficiency,
                          "deflated_sharpe": self.deflated_sharpe, "pbo": self.pbo,
                          "trials": self.trials, "folds": len(self.fold_windows)},
                         name="walk_forward", dtype=object)

    # -- showing it -----------------------------------------------------------------

    def _headline(self) -> str:
        stats = self.stats

        def number(value: object, pattern: str) -> str:
            return "n/a" if value is None else format(value, pattern)

        anchored = ", anchored" if self.anchored else ""
        return (f"WalkForward: {len(self.fold_windows)} folds (train {self.train}, test "
                f"{self.test}{anchored}), chosen on {self.select}; out of sample "
                f"{self._test_dates[0].date()} to {self._test_dates[-1].date()}: total_return "
                f"{number(stats['total_return'], '+.2%')}, sharpe {number(stats['sharpe'], '.2f')}, "
                f"max_drawdown {number(stats['max_drawdown'], '.2%')}; efficiency "
                f"{number(self.efficiency, '.2f')}; {self.trials} trials: deflated_sharpe "
                f"{number(self.deflated_sharpe, '.4f')}, pbo {number(self.pbo, '.4f')}")

    def __repr__(self) -> str:
        with pd.option_context("display.max_rows", 12, "display.width", 120):
            return f"<{self._headline()}>\n{self.folds}"

    def _repr_html_(self) -> str:
        """The main figures and the folds table, for notebooks."""
        summary = self.summary().to_frame().to_html(na_rep="n/a", header=False)
        return (f"<p>{html.escape(self._headline())}</p>{summary}"
                f"{self.folds.to_html(max_rows=40, na_rep='n/a')}")

    def plot(self) -> Figure:
        """The stitched equity against the full-sample winner's, test windows
        shaded, drawn without pyplot (``quorvane walkforward --plot`` saves it).

        Returns:
            A ``matplotlib.figure.Figure``.
        """
        logging.getLogger("matplotlib").setLevel(logging.ERROR)
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        figure = Figure(figsize=(11, 6), layout="constrained")
        FigureCanvasAgg(figure)
        axes = figure.subplots()
        keep = np.unique(np.append(np.arange(0, len(self.equity),
                                             max(1, len(self.equity) // _POINTS)),
                                   len(self.equity) - 1))
        x = self.equity.index[keep]
        winner = ", ".join(f"{key}={value!r}" for key, value in self.winner.items())
        axes.plot(x, self.equity.to_numpy()[keep], color="tab:blue", linewidth=1.2,
                  label="walk-forward (out of sample)")
        axes.plot(x, self.winner_equity.to_numpy()[keep], color="0.5", linewidth=1.0,
                  label=f"full-sample winner ({winner or 'no parameters'}), with hindsight")
        for number, fold in enumerate(self.fold_windows):
            end = self.dates[min(fold.test_end, len(self.dates) - 1)]  # to the next window
            # matplotlib converts dates on its own; its stubs say floats.
            axes.axvspan(self.dates[fold.test_start], end,  # type: ignore[arg-type]
                         color="tab:orange" if number % 2 else "tab:green", alpha=0.08,
                         linewidth=0)
        axes.axhline(1.0, color="0.7", linewidth=0.8, linestyle="--")
        axes.set_ylabel("equity (start of the first test window = 1)")
        axes.grid(alpha=0.3)
        axes.legend(loc="best", fontsize="small")
        figure.suptitle(f"Walk-forward: {len(self.fold_windows)} test windows (shaded), chosen "
                        f"on {self.select}")
        return figure
