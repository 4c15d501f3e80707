"""The package's charts, drawn with matplotlib (the ``plot`` extra): a
backtest's prices, equity and drawdown, and a sweep's metric over its grid.

Each function returns a :class:`matplotlib.figure.Figure` of its own, made
without pyplot: nothing is registered in pyplot's list of open figures or
shown on a screen, and no setting of matplotlib or of logging changes.  The
command line saves these figures (``run --plot``, ``sweep --plot``); a
notebook shows them as a PNG image.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure as _PlainFigure
except ImportError as exc:  # pragma: no cover - the plot extra is missing
    raise ImportError("drawing needs matplotlib, which is not installed: "
                      "pip install 'quorvane[plot]'") from exc

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

    from quorvane.backtest import BacktestResult, PortfolioResult

__all__ = ["Figure", "plot_backtest", "plot_sweep"]

# Above this many changes of position, markers would hide the prices: the
# position is shown as shading instead.
MAX_MARKERS = 1000
# More symbols than this are summed up in the legend rather than drawn.
MAX_PRICE_LINES = 8
# A figure is about a thousand pixels wide: longer series are thinned to this
# many points (the drawdown keeps each stretch's deepest point), which keeps
# a million bars to a second of drawing.
MAX_POINTS = 4000


class Figure(_PlainFigure):
    """A matplotlib figure that a notebook shows as an image even when pyplot
    was never imported (with pyplot's inline backend active, its display
    wins)."""

    def _repr_png_(self) -> bytes:
        import io
        buffer = io.BytesIO()
        self.savefig(buffer, format="png", dpi=100)
        return buffer.getvalue()


def _new_figure(width: float, height: float) -> Figure:
    figure = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _thin(n: int) -> np.ndarray:
    """Indices of at most about MAX_POINTS evenly spread bars, the last included."""
    if n <= MAX_POINTS:
        return np.arange(n)
    return np.unique(np.append(np.arange(0, n, n // MAX_POINTS), n - 1))


# -- a backtest ------------------------------------------------------------------------

def plot_backtest(result: BacktestResult | PortfolioResult, title: str | None = None) -> Figure:
    """A backtest in three panels over its dates: the prices, the equity
    against buy-and-hold, and the drawdown.

    Args:
        result: One symbol's result (its closes, with a marker where the side
            held changes, or shading past 1,000 changes) or a portfolio's
            (each symbol's close over its first; the first eight symbols).
        title: The figure's title; by default the strategy and the period.

    Returns:
        The figure, 11 by 8.5 inches; ``figure.savefig(path)`` writes it.
    """
    from quorvane.backtest import PortfolioResult

    figure = _new_figure(11, 8.5)
    prices, equity_axes, drawdown_axes = figure.subplots(
        3, 1, sharex=True, height_ratios=[2, 1.5, 1])
    if isinstance(result, PortfolioResult):
        _normalised_prices(prices, result.per_symbol)
    else:
        _prices_with_positions(prices, result)
    equity = result.equity
    buy_and_hold = result.buy_and_hold.to_numpy()
    values = equity.to_numpy()
    keep = _thin(values.size)
    x = equity.index[keep]
    equity_axes.plot(x, values[keep], color="tab:blue", linewidth=1.2, label="strategy")
    equity_axes.plot(x, buy_and_hold[keep], color="0.5", linewidth=1.0, label="buy and hold")
    equity_axes.axhline(1.0, color="0.7", linewidth=0.8, linestyle="--")
    equity_axes.set_ylabel("equity (start = 1)")
    equity_axes.legend(loc="best", fontsize="small")
    drawdown = np.minimum.reduceat(result.drawdown.to_numpy(), keep)
    drawdown_axes.fill_between(x, drawdown * 100, 0, color="tab:red", alpha=0.35, linewidth=0)
    drawdown_axes.set_ylabel("drawdown (%)")
    for axes in (prices, equity_axes, drawdown_axes):
        axes.grid(alpha=0.3)
    figure.suptitle(title if title is not None else result.title())
    return figure


def _prices_with_positions(axes: Axes, result: BacktestResult) -> None:
    close = result.close.to_numpy()
    # The side actually held at each close: stops show where they exited.
    position = np.sign(result.units.to_numpy())
    keep = _thin(close.size)
    x = result.close.index
    axes.plot(x[keep], close[keep], color="0.3", linewidth=1.0, label="close")
    changes = np.flatnonzero(np.diff(position, prepend=0.0))
    band = axes.get_xaxis_transform()
    if changes.size > MAX_MARKERS:
        held = position[keep]
        axes.fill_between(x[keep], 0, 1, where=held > 0, step="post", transform=band,
                          color="tab:green", alpha=0.15, linewidth=0, label="long")
        axes.fill_between(x[keep], 0, 1, where=held < 0, step="post", transform=band,
                          color="tab:red", alpha=0.15, linewidth=0, label="short")
    else:
        kinds = [
            (position[changes] > 0, "^", "tab:green", "to long"),
            (position[changes] < 0, "v", "tab:red", "to short"),
            (position[changes] == 0, "o", "black", "to flat"),
        ]
        for mask, marker, colour, name in kinds:
            at = changes[mask]
            if at.size:
                axes.scatter(x[at], close[at], marker=marker, s=36, color=colour, zorder=3,
                             label=f"{name} ({at.size:,})")
    axes.set_ylabel("close")
    axes.legend(loc="best", fontsize="small")


def _normalised_prices(axes: Axes, results: Mapping[str, BacktestResult]) -> None:
    shown = list(results.items())[:MAX_PRICE_LINES]
    for symbol, result in shown:
        relative = result.buy_and_hold  # each close over the first
        keep = _thin(len(relative))
        axes.plot(relative.index[keep], relative.to_numpy()[keep], linewidth=0.9, label=symbol)
    hidden = len(results) - len(shown)
    axes.set_ylabel("close / first close")
    axes.legend(loc="best", fontsize="small",
                title=f"and {hidden} more" if hidden else None)


# -- a sweep ---------------------------------------------------------------------------

def plot_sweep(table: pd.DataFrame, metric: str | None = None,
               grid: Sequence[str] | None = None, title: str | None = None) -> Figure:
    """A sweep's metric over its grid: a line per symbol for one parameter
    (the mean over the symbols past ten), a heatmap of the mean over the
    symbols for two.

    Args:
        table: What :func:`quorvane.sweep` returns (failed rows, whose
            metric is missing, leave gaps).
        metric: The column to draw; by default the one the sweep sorted by.
        grid: The one or two parameters the sweep varied; by default the
            sweep's grid.
        title: The figure's title; by default the metric.

    Returns:
        The figure, 9 by 6 inches; ``figure.savefig(path)`` writes it.

    Raises:
        ValueError: The grid has not one or two parameters, or a column is
            not in the table.
    """
    import pandas as pd

    grid = list(grid if grid is not None else table.attrs.get("grid") or _varied(table))
    metric = metric if metric is not None else str(table.attrs.get("sort", "sharpe"))
    if len(grid) not in (1, 2):
        raise ValueError(f"a sweep's plot draws a grid of one parameter (a line) or two (a "
                         f"heatmap); this grid has {len(grid)}: pass grid=[...] to choose")
    missing = [name for name in (metric, *grid, "symbol") if name not in table.columns]
    if missing:
        raise ValueError(f"the table has no column {missing[0]!r}")
    figure = _new_figure(9, 6)
    axes = figure.subplots()
    values = pd.to_numeric(table[metric], errors="coerce").astype(float)
    data = table.assign(**{metric: values})
    if len(grid) == 1:
        (key,) = grid
        symbols = list(dict.fromkeys(data["symbol"]))
        if len(symbols) > 10:
            series = data.groupby(key, sort=True)[metric].mean()
            axes.plot(_axis(series.index), series.to_numpy(), marker="o",
                      label=f"mean of {len(symbols)} symbols")
        else:
            for symbol in symbols:
                part = data[data["symbol"] == symbol].sort_values(key, kind="stable")
                axes.plot(_axis(part[key]), part[metric].to_numpy(), marker="o", label=symbol)
        axes.set_xlabel(key)
        axes.set_ylabel(metric)
        axes.grid(alpha=0.3)
        axes.legend(loc="best", fontsize="small")
    else:
        rows_key, columns_key = grid
        pivot = data.pivot_table(index=rows_key, columns=columns_key, values=metric,
                                 aggfunc="mean", dropna=False, sort=True)
        image = axes.imshow(pivot.to_numpy(dtype=float), aspect="auto", origin="lower",
                            cmap="viridis", interpolation="nearest")
        axes.set_yticks(np.arange(len(pivot.index)), [str(v) for v in pivot.index])
        axes.set_xticks(np.arange(len(pivot.columns)), [str(v) for v in pivot.columns],
                        rotation=90 if len(pivot.columns) > 12 else 0)
        axes.set_ylabel(rows_key)
        axes.set_xlabel(columns_key)
        label = metric if data["symbol"].nunique() == 1 else f"{metric} (mean over symbols)"
        figure.colorbar(image, ax=axes, label=label)
    figure.suptitle(title if title is not None else metric)
    return figure


def _varied(table: pd.DataFrame) -> list[str]:
    """The parameter columns (those before ``symbol``) holding more than one value."""
    columns = list(table.columns)
    before = columns[:columns.index("symbol")] if "symbol" in columns else []
    return [name for name in before if table[name].nunique(dropna=False) > 1]


def _axis(values: Iterable[object]) -> list[float] | list[str]:
    """Numbers stay numbers (a numeric axis); anything else becomes text
    (categories)."""
    items = list(values)
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in items):
        return [float(v) for v in items]  # type: ignore[arg-type]
    return [str(v) for v in items]
