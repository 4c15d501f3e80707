"""``run --plot``: prices with the side held, equity against buy-and-hold, and
the drawdown, in one figure drawn with matplotlib (the ``plot`` extra)."""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

import numpy as np

__all__ = ["draw"]

# Above this many changes of position, markers would hide the prices: the
# position is shown as shading instead.
MAX_MARKERS = 1000
# More symbols than this are summed up in the title rather than drawn.
MAX_PRICE_LINES = 8
# A figure is about a thousand pixels wide: longer series are thinned to this
# many points (the drawdown keeps each stretch's deepest point), which keeps
# a million bars to a second of drawing.
MAX_POINTS = 4000


def _thin(n: int) -> np.ndarray:
    """Indices of at most about MAX_POINTS evenly spread bars, the last included."""
    if n <= MAX_POINTS:
        return np.arange(n)
    return np.unique(np.append(np.arange(0, n, n // MAX_POINTS), n - 1))


def draw(path: str, results: Mapping[str, Any], combined: Any, title: str) -> None:
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(11, 8.5), layout="constrained")
    FigureCanvasAgg(figure)
    prices, equity_axes, drawdown_axes = figure.subplots(
        3, 1, sharex=True, height_ratios=[2, 1.5, 1])
    if combined is None:
        main = next(iter(results.values()))
        _prices_with_positions(prices, main)
    else:
        main = combined
        _normalised_prices(prices, results)
    equity = main.equity
    buy_and_hold = main.buy_and_hold.to_numpy()
    values = equity.to_numpy()
    keep = _thin(values.size)
    x = equity.index[keep]
    equity_axes.plot(x, values[keep], color="tab:blue", linewidth=1.2, label="strategy")
    equity_axes.plot(x, np.asarray(buy_and_hold)[keep], color="0.5", linewidth=1.0,
                     label="buy and hold")
    equity_axes.axhline(1.0, color="0.7", linewidth=0.8, linestyle="--")
    equity_axes.set_ylabel("equity (start = 1)")
    equity_axes.legend(loc="best", fontsize="small")
    drawdown = np.minimum.reduceat(main.drawdown.to_numpy(), keep)
    drawdown_axes.fill_between(x, drawdown * 100, 0, color="tab:red", alpha=0.35, linewidth=0)
    drawdown_axes.set_ylabel("drawdown (%)")
    for axes in (prices, equity_axes, drawdown_axes):
        axes.grid(alpha=0.3)
    figure.suptitle(title)
    figure.savefig(path, dpi=100)


def _prices_with_positions(axes: Any, result: Any) -> None:
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


def _normalised_prices(axes: Any, results: Mapping[str, Any]) -> None:
    shown = list(results.items())[:MAX_PRICE_LINES]
    for symbol, result in shown:
        relative = result.buy_and_hold  # each close over the first
        keep = _thin(len(relative))
        axes.plot(relative.index[keep], relative.to_numpy()[keep], linewidth=0.9, label=symbol)
    hidden = len(results) - len(shown)
    axes.set_ylabel("close / first close")
    axes.legend(loc="best", fontsize="small",
                title=f"and {hidden} more" if hidden else None)
