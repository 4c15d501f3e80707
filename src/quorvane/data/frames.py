"""Bars a caller already holds as a DataFrame, checked and normalised as the
readers check files (the rules are those of :mod:`quorvane.data.checks`)."""

from __future__ import annotations

from typing import TYPE_CHECKING, cast

import numpy as np

from .checks import (NUMBER_COLUMNS, SYMBOL_COLUMN, DataError, check_one_symbol, check_rising,
                     check_values, exact_floats, find_columns, in_nanoseconds, parse_dates,
                     parse_numbers, require_columns, where)

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["normalise_bars"]

_EXPECTED = ("expected the columns date,open,high,low,close,volume (any order and letter "
             "case; the dates may be the index)")


def normalise_bars(bars: pd.DataFrame, label: str = "bars") -> pd.DataFrame:
    """``bars`` checked as a data file is, in the form :func:`read_bars` returns.

    Accepts the shapes bars usually come in: the columns ``date``, ``open``,
    ``high``, ``low``, ``close`` and ``volume`` in any order and letter case
    (``Close``), other columns (``Adj Close``) ignored; the dates in a column
    or as the index (a ``DatetimeIndex``, or an index named ``date`` holding
    ISO text, as ``pd.read_csv(..., index_col="Date")`` gives); column labels
    in two levels when one level names a single symbol.

    Args:
        bars: One symbol's bars.
        label: How messages name the bars (a symbol, say).

    Returns:
        A new DataFrame with a rising ``DatetimeIndex`` named ``date`` and
        the float64 columns ``open``, ``high``, ``low``, ``close`` and
        ``volume``.  Bars that are already in that form are checked and come
        back as a shallow copy, without copying the data.

    Raises:
        DataError: One line naming ``label`` and the row, counted from 1 as in
            a file: a missing column, a missing or non-numeric value, a price
            that is not a positive number, a negative volume, high below low,
            a date that is missing or not ISO text, dates that do not rise, a
            ``symbol`` column holding several symbols.
        TypeError: ``bars`` is not a DataFrame.
    """
    import pandas as pd

    if not isinstance(bars, pd.DataFrame):
        raise TypeError(f"{label} must be a pandas DataFrame of bars, not {type(bars).__name__}")
    rows = np.arange(len(bars))
    if _normal(bars):
        data = {name: bars[name].to_numpy() for name in NUMBER_COLUMNS}
        check_values(data, label, rows, nan_is_missing=True)
        _check_dates(cast("pd.DatetimeIndex", bars.index), label, rows)
        return bars.copy(deep=False)

    bars = _single_level(bars, label)
    found = find_columns(list(bars.columns), label)
    require_columns(found, label, NUMBER_COLUMNS if _date_index(bars.index) else
                    ("date", *NUMBER_COLUMNS), _EXPECTED)
    if not len(bars):
        raise DataError(f"{label} holds no bars")
    if SYMBOL_COLUMN in found:
        symbols = bars[found[SYMBOL_COLUMN]].dropna().astype(str).str.strip().unique()
        check_one_symbol(list(symbols), label, "pass one DataFrame per symbol, as "
                                               "{symbol: DataFrame}")
    data = {name: _numbers(bars[found[name]], name, label, rows) for name in NUMBER_COLUMNS}
    check_values(data, label, rows, nan_is_missing=True)
    dates = bars[found["date"]] if "date" in found else bars.index
    index = _dates(dates, label, rows)
    _check_dates(index, label, rows)
    return pd.DataFrame(data, index=index, copy=False)


def _normal(bars: pd.DataFrame) -> bool:
    """Whether ``bars`` is already in the form the readers return."""
    import pandas as pd
    index = bars.index
    return (isinstance(index, pd.DatetimeIndex) and index.name == "date" and index.unit == "ns"
            and list(bars.columns) == list(NUMBER_COLUMNS)
            and all(dtype == np.float64 for dtype in bars.dtypes))


def _date_index(index: pd.Index) -> bool:
    import pandas as pd
    if isinstance(index, (pd.DatetimeIndex, pd.PeriodIndex)):
        return True
    return isinstance(index.name, str) and index.name.strip().lower() == "date"


def _single_level(bars: pd.DataFrame, label: str) -> pd.DataFrame:
    """Column labels in one level: of labels in two or more, the level that
    names the bar columns, when every other level holds one value (a symbol)."""
    columns = bars.columns
    if columns.nlevels == 1:
        return bars
    for level in range(columns.nlevels):
        if "close" not in {str(name).strip().lower() for name in columns.get_level_values(level)}:
            continue
        others = [columns.get_level_values(other).unique() for other in range(columns.nlevels)
                  if other != level]
        several = next((values for values in others if len(values) > 1), None)
        if several is not None:
            check_one_symbol([str(value) for value in several], label,
                             "pass one DataFrame per symbol, as {symbol: DataFrame}")
        return bars.set_axis(columns.get_level_values(level), axis=1)
    return bars.set_axis([" ".join(map(str, name)) for name in columns], axis=1)


def _numbers(column: pd.Series, name: str, label: str, rows: np.ndarray) -> np.ndarray:
    from pandas.api.types import is_bool_dtype, is_numeric_dtype
    if column.dtype.kind in "iu":
        return exact_floats(column.to_numpy(), name, label, rows)
    if is_numeric_dtype(column.dtype) and not is_bool_dtype(column.dtype):
        return column.to_numpy(dtype=np.float64, na_value=np.nan)  # NaN: checked as missing
    return parse_numbers(column.astype("string"), name, label, rows)


def _dates(values: pd.Series | pd.Index, label: str, rows: np.ndarray) -> pd.DatetimeIndex:
    import pandas as pd
    if isinstance(values, pd.PeriodIndex):
        values = values.to_timestamp()
    if values.dtype.kind == "M" or isinstance(values.dtype, pd.DatetimeTZDtype):
        index = pd.DatetimeIndex(values)
        return in_nanoseconds(index, label, rows, lambda at: str(index[at]))
    return parse_dates(pd.Series(values, copy=False).astype("string"), label, rows)


def _check_dates(index: pd.DatetimeIndex, label: str, rows: np.ndarray) -> None:
    if index.hasnans:
        position = int(np.flatnonzero(index.isna())[0])
        raise DataError(f"{where(label, rows, position)}: date is missing")
    check_rising(index.asi8, label, rows, lambda at: str(index[at]))
