"""``sweep``'s presentation: the top rows as text, the overfitting figures,
the rows as JSON, and a plot of the sort metric over the grid
(:mod:`quorvane.outputs` writes the files).  The library returns the table;
this module words and draws it."""

from __future__ import annotations

import logging
import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from .formats import aligned, format_stat, plain

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
    """The sort metric over the grid: a line per symbol for one parameter, a
    heatmap (the mean over the symbols) for two."""
    import numpy as np
    import pandas as pd

    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9, 6), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    values = pd.to_numeric(frame[sort], errors="coerce").astype(float)
    data = frame.assign(**{sort: values})
    if len(grid) == 1:
        (key,) = grid
        symbols = list(dict.fromkeys(data["symbol"]))
        if len(symbols) > 10:
            series = data.groupby(key, sort=True)[sort].mean()
            axes.plot(_axis(series.index), series.to_numpy(), marker="o",
                      label=f"mean of {len(symbols)} symbols")
        else:
            for symbol in symbols:
                part = data[data["symbol"] == symbol].sort_values(key, kind="stable")
                axes.plot(_axis(part[key]), part[sort].to_numpy(), marker="o", label=symbol)
        axes.set_xlabel(key)
        axes.set_ylabel(sort)
        axes.grid(alpha=0.3)
        axes.legend(loc="best", fontsize="small")
    else:
        rows_key, columns_key = grid
        table = data.pivot_table(index=rows_key, columns=columns_key, values=sort,
                                 aggfunc="mean", dropna=False, sort=True)
        image = axes.imshow(table.to_numpy(dtype=float), aspect="auto", origin="lower",
                            cmap="viridis", interpolation="nearest")
        axes.set_yticks(np.arange(len(table.index)), [str(v) for v in table.index])
        axes.set_xticks(np.arange(len(table.columns)), [str(v) for v in table.columns],
                        rotation=90 if len(table.columns) > 12 else 0)
        axes.set_ylabel(rows_key)
        axes.set_xlabel(columns_key)
        label = sort if data["symbol"].nunique() == 1 else f"{sort} (mean over symbols)"
        figure.colorbar(image, ax=axes, label=label)
    figure.suptitle(title)
    figure.savefig(path, dpi=100)


def _axis(values: Iterable[object]) -> list[float] | list[str]:
    """Numbers stay numbers (a numeric axis); anything else becomes text
    (categories)."""
    items = list(values)
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in items):
        return [float(v) for v in items]  # type: ignore[arg-type]
    return [str(v) for v in items]
