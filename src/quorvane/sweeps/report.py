"""Showing a sweep's table: the top rows as text, and a plot of the sort
metric over the grid (:mod:`quorvane.outputs` writes the files)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

__all__ = ["check_plot", "top_table", "plot"]

# Statistics the text table shows beside the sort metric; the file has all.
_SHOWN = ("total_return", "cagr", "sharpe", "max_drawdown", "trades")
_ERROR_WIDTH = 60


def check_plot(path: str, dimensions: int) -> None:
    """Refuse, before any work, a plot that could not be drawn or written."""
    from quorvane.outputs import OutputError
    from quorvane.outputs import check_plot as check_file

    check_file("--plot", path)
    if dimensions not in (1, 2):
        raise OutputError(f"--plot draws a grid of one parameter (a line) or two (a heatmap); "
                          f"this grid has {dimensions}")


def top_table(frame: pandas.DataFrame, grid: Sequence[str], sort: str, top: int) -> str:
    """The first ``top`` rows as aligned text: the grid's parameters, the
    symbol, the sort metric, a few headline statistics and any error."""
    shown = [*grid, "symbol"]
    for name in (sort, *_SHOWN):
        if name in frame.columns and name not in shown:
            shown.append(name)
    head = frame.head(top)
    if head["error"].notna().any():
        shown.append("error")
    head = head[shown].copy()
    if "error" in head:
        head["error"] = head["error"].map(_short)
    return str(head.to_string(index=False, float_format=_number, na_rep=""))


def _number(value: float) -> str:
    if not math.isfinite(value):
        return str(value)
    return f"{value:.4f}"


def _short(text: object) -> str:
    if not isinstance(text, str):
        return ""
    return text if len(text) <= _ERROR_WIDTH else text[:_ERROR_WIDTH - 3] + "..."


def plot(frame: pandas.DataFrame, grid: Sequence[str], sort: str, path: str,
         title: str) -> None:
    """The sort metric over the grid (:func:`quorvane.plots.plot_sweep`), written to ``path``."""
    from quorvane.plots import plot_sweep

    plot_sweep(frame, sort, grid, title).savefig(path, dpi=100)
