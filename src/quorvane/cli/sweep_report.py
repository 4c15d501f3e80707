"""``sweep``'s presentation: the top rows as text, the overfitting figures,
the rows as JSON, and a plot of the sort metric over the grid
(:mod:`quorvane.outputs` writes the files).  The library returns the table;
this module words and draws it."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

from quorvane.stats import format_stat

from .formats import aligned, plain

if TYPE_CHECKING:
    import pandas

__all__ = ["check_plot", "json_rows", "top_table", "plot"]

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
    symbol, the sort metric, a few headline statistics (as ``run`` shows
    them), whether a row is ranked, and any error."""
    from quorvane.stats import DESCRIPTIONS

    shown = [*grid, "symbol"]
    for name in (sort, *_SHOWN):
        if name in frame.columns and name not in shown:
            shown.append(name)
    head = frame.head(top)
    if "ranked" in head and not head["ranked"].all():
        shown.append("ranked")
    if head["error"].notna().any():
        shown.append("error")
    rows = [shown]
    for record in head[shown].to_dict("records"):
        cells = []
        for name in shown:
            value = record[name]
            if name == "error":
                cells.append(_short(value))
            elif name == "ranked":
                cells.append("yes" if value else "no")
            elif name in DESCRIPTIONS:
                cells.append(format_stat(name, _number(value)))
            else:
                cells.append(str(value))
        rows.append(cells)
    width = len(shown) - ("error" in shown)
    lines = aligned([row[:width] for row in rows], left=(len(grid),))
    if "error" not in shown:
        return "\n".join(lines)
    return "\n".join(f"{line}  {row[-1]}".rstrip() for line, row in zip(lines, rows))


def _number(value: object) -> object:
    """A table's cell as the statistics' own type: NaN and NA are None."""
    import pandas as pd

    if value is None or value is pd.NA:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if hasattr(value, "item"):
        return value.item()  # a numpy scalar
    return value


def json_rows(frame: pandas.DataFrame) -> list[dict[str, object]]:
    """The rows as JSON objects: undefined figures null, values JSON cannot
    hold as their repr."""
    return [{str(name): plain(_number(value)) for name, value in record.items()}
            for record in frame.to_dict("records")]


def _short(text: object) -> str:
    if not isinstance(text, str):
        return ""
    return text if len(text) <= _ERROR_WIDTH else text[:_ERROR_WIDTH - 3] + "..."


def plot(frame: pandas.DataFrame, grid: Sequence[str], sort: str, path: str,
         title: str) -> None:
    """The sort metric over the grid (:func:`quorvane.plots.plot_sweep`), written to ``path``."""
    from quorvane.plots import plot_sweep

    plot_sweep(frame, sort, grid, title).savefig(path, dpi=100)
