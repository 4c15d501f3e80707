"""The checks every set of bars passes, whether it comes from a file or from a
DataFrame: one function per rule, so that a file and a frame holding the same
bars are refused with the same message.

Messages name the data (``label``: a file's path, or what the caller calls a
frame) and the row.  ``rows[i]`` is the 0-based row of the data that position
``i`` of the array being checked came from; messages count rows from 1.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import pyarrow as pa

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["COLUMNS", "PRICE_COLUMNS", "NUMBER_COLUMNS", "SYMBOL_COLUMN", "EXPECTED",
           "DataError", "Columns", "find_columns", "require_columns", "check_one_symbol",
           "prepare", "assemble", "frame", "where", "parse_numbers", "parse_dates",
           "exact_floats", "as_text", "in_nanoseconds", "check_values", "check_rising",
           "split_by_symbol"]

PRICE_COLUMNS = ("open", "high", "low", "close")
NUMBER_COLUMNS = (*PRICE_COLUMNS, "volume")
COLUMNS = ("date", *NUMBER_COLUMNS)
SYMBOL_COLUMN = "symbol"
EXPECTED = f"expected the columns {','.join(COLUMNS)} (any order and letter case)"


class DataError(ValueError):
    """Bars that cannot be used as they stand; the message names the data and the row."""


# -- columns ---------------------------------------------------------------------------

def find_columns(names: Sequence[object], label: str) -> dict[str, object]:
    """{canonical name: the data's own name} for the bar columns and ``symbol``
    found among ``names`` (any letter case, spaces around ignored)."""
    found: dict[str, object] = {}
    for name in names:
        key = str(name).strip().lower()
        if key in COLUMNS or key == SYMBOL_COLUMN:
            if key in found:
                raise DataError(f"{label}: two columns named {key} "
                                f"({found[key]!r} and {name!r})")
            found[key] = name
    return found


def require_columns(found: dict[str, object], label: str, wanted: Sequence[str] = COLUMNS,
                    expected: str = EXPECTED) -> None:
    missing = [name for name in wanted if name not in found]
    if missing:
        raise DataError(f"{label}: no column {', '.join(missing)}; {expected}")


def check_one_symbol(symbols: Sequence[str], label: str, advice: str) -> None:
    """Refuse data whose ``symbol`` column holds several symbols: run as one,
    the jump from one symbol's prices to the next would count as a return."""
    if len(symbols) > 1:
        names = ", ".join(sorted(str(s) for s in symbols)[:5])
        raise DataError(f"{label} holds {len(symbols)} symbols ({names}"
                        f"{', ...' if len(symbols) > 5 else ''}); {advice}")


# -- a table's columns into checked bars --------------------------------------------------

class Columns(NamedTuple):
    """A table's bars as checked numpy columns, before pandas comes in."""

    data: dict[str, np.ndarray]  # the float columns, checked
    stamps: np.ndarray | None    # the dates as datetime64[ns], checked to rise; None: to parse
    dates: pa.ChunkedArray       # the date column as read


def frame(table: pa.Table, label: str, rows: np.ndarray) -> pd.DataFrame:
    """Checked bars from ``table``; ``rows[i]`` is the 0-based row of table row i."""
    return assemble(prepare(table, label, rows), label, rows)


def prepare(table: pa.Table, label: str, rows: np.ndarray | None = None) -> Columns:
    """The numpy part of the checks: numbers, and dates the data already typed."""
    if rows is None:
        rows = np.arange(table.num_rows)
    if table.num_rows == 0:
        raise DataError(f"{label} holds no bars, only a header")
    data = {name: _numbers(table.column(name), name, label, rows) for name in NUMBER_COLUMNS}
    check_values(data, label, rows)
    column = table.column("date")
    stamps = None
    if pa.types.is_timestamp(column.type) and column.type.tz is None and not column.null_count:
        try:
            stamps = column.cast(pa.timestamp("ns")).to_numpy()
        except pa.ArrowInvalid:
            pass  # dates pandas cannot hold: refused, naming the row, below
        else:
            check_rising(stamps.view(np.int64), label, rows, lambda at: _timestamp(stamps[at]))
    return Columns(data, stamps, column)


def _timestamp(value: np.datetime64) -> str:
    import pandas as pd  # only to word a message
    return str(pd.Timestamp(value))


def assemble(columns: Columns, label: str, rows: np.ndarray) -> pd.DataFrame:
    import pandas as pd
    if columns.stamps is not None:
        index = pd.DatetimeIndex(columns.stamps, name="date")
    else:
        index = _dates(columns.dates, label, rows)
        check_rising(index.asi8, label, rows, lambda at: str(index[at]))
    return pd.DataFrame(columns.data, index=index, copy=False)


def where(label: str, rows: np.ndarray, position: int) -> str:
    return f"{label}, row {int(rows[position]) + 1}"


def _numbers(column: pa.ChunkedArray, name: str, label: str, rows: np.ndarray) -> np.ndarray:
    kind = column.type
    if pa.types.is_integer(kind):
        if column.null_count:
            position = int(np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0])
            raise DataError(f"{where(label, rows, position)}: {name} is missing")
        return exact_floats(column.to_numpy(), name, label, rows)
    if pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        values: np.ndarray = column.cast(pa.float64()).to_numpy()
        if column.null_count:
            position = int(np.flatnonzero(np.isnan(values) & column.is_null().to_numpy(
                zero_copy_only=False))[0])
            raise DataError(f"{where(label, rows, position)}: {name} is missing")
        return values
    return parse_numbers(as_text(column, name, label, "numbers").to_pandas(), name, label, rows)


# Whole numbers beyond this lose their last digits as float64.
_EXACT = 2**53


def exact_floats(values: np.ndarray, name: str, label: str, rows: np.ndarray) -> np.ndarray:
    """Whole numbers as float64, refusing those a float cannot hold exactly."""
    if values.size and (values.max() > _EXACT or (values.dtype.kind == "i"
                                                  and values.min() < -_EXACT)):
        position = int(np.flatnonzero((values > _EXACT) | (values < -_EXACT))[0])
        raise DataError(f"{where(label, rows, position)}: {name} is {values[position]}, a whole "
                        "number too large to be held exactly (over 2**53)")
    return values.astype(np.float64)


def as_text(column: pa.ChunkedArray, name: str, label: str, wanted: str) -> pa.ChunkedArray:
    """The column as text, or a refusal naming it when its type has no text form."""
    try:
        return column.cast(pa.string())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        raise DataError(f"{label}: the column {name} holds {column.type} values, not "
                        f"{wanted}") from None


def parse_numbers(text: pd.Series, name: str, label: str, rows: np.ndarray) -> np.ndarray:
    """Numbers written as text (missing values as None or NA), checked."""
    import pandas as pd
    values = pd.to_numeric(text.str.strip(), errors="coerce").to_numpy(dtype=float,
                                                                       na_value=np.nan)
    bad = np.flatnonzero(np.isnan(values))
    if bad.size:
        position = int(bad[0])
        raw = text.iloc[position]
        missing = raw is None or raw is pd.NA or not str(raw).strip()
        what = "missing" if missing else f"{raw!r}, not a number"
        if isinstance(raw, str) and raw.strip().lower() == "nan":
            what = "nan, not a number"
        raise DataError(f"{where(label, rows, position)}: {name} is {what}")
    return values


def _dates(column: pa.ChunkedArray, label: str, rows: np.ndarray) -> pd.DatetimeIndex:
    import pandas as pd
    if column.null_count:
        position = int(np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0])
        raise DataError(f"{where(label, rows, position)}: date is missing")
    kind = column.type
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        index = pd.DatetimeIndex(column.to_pandas(date_as_object=False))
        return in_nanoseconds(index, label, rows, lambda at: str(index[at]))
    return parse_dates(as_text(column, "date", label, "dates").to_pandas(), label, rows)


def parse_dates(text: pd.Series, label: str, rows: np.ndarray) -> pd.DatetimeIndex:
    """Dates written as ISO 8601 text, checked (not yet for order)."""
    import pandas as pd
    text = text.str.strip()
    mixed = False
    try:
        parsed = pd.to_datetime(text, format="ISO8601", errors="coerce")
    except (ValueError, TypeError):
        # Offsets that differ from row to row (summer time): the instants,
        # then a zone that shows each as written.
        parsed = pd.to_datetime(text, format="ISO8601", errors="coerce", utc=True)
        mixed = True
    bad = np.flatnonzero(parsed.isna().to_numpy())
    if bad.size:
        position = int(bad[0])
        raw: object = text.iloc[position]
        if raw is None or raw is pd.NA or not raw:
            raise DataError(f"{where(label, rows, position)}: date is missing")
        raise DataError(f"{where(label, rows, position)}: date {raw!r} is "
                        "not a date in ISO format (2024-01-31, optionally with a time)")
    index = in_nanoseconds(pd.DatetimeIndex(parsed), label, rows, lambda at: repr(text.iloc[at]))
    if mixed:
        from .zones import keep_offsets
        index = keep_offsets(index, text)
    return index


def in_nanoseconds(index: pd.DatetimeIndex, label: str, rows: np.ndarray,
                   show: Callable[[int], str]) -> pd.DatetimeIndex:
    """The dates in nanoseconds, one unit everywhere so that integer date
    arithmetic means the same; a date that unit cannot hold is refused."""
    import pandas as pd
    if index.unit != "ns":
        per = {"s": 10**9, "ms": 10**6, "us": 10**3}[index.unit]
        stamps = index.asi8
        low, high = -(-pd.Timestamp.min.value // per), pd.Timestamp.max.value // per
        outside = ((stamps < low) | (stamps > high)) & ~np.asarray(index.isna())
        if outside.any():
            position = int(np.flatnonzero(outside)[0])
            raise DataError(f"{where(label, rows, position)}: date {show(position)} is outside "
                            f"the dates pandas can hold ({_FIRST} to {_LAST})")
    return index.as_unit("ns").rename("date")


# The whole days pandas can hold at nanosecond resolution.
_FIRST, _LAST = "1677-09-22", "2262-04-11"


def check_values(data: dict[str, np.ndarray], label: str, rows: np.ndarray, *,
                 nan_is_missing: bool = False) -> None:
    """Positive finite prices, finite volumes of 0 or more, high not below low.

    ``nan_is_missing``: a NaN is a missing value (pandas writes missing
    numbers so), not a number a file holds.
    """
    def refuse(name: str, values: np.ndarray, good: np.ndarray, rule: str) -> None:
        bad = np.flatnonzero(~good)
        if bad.size:  # else only the sum overflowed
            position = int(bad[0])
            value = values[position]
            if nan_is_missing and np.isnan(value):
                raise DataError(f"{where(label, rows, position)}: {name} is missing")
            raise DataError(f"{where(label, rows, position)}: {name} is {value:g}; {rule}")

    with np.errstate(over="ignore", invalid="ignore"):
        for name in PRICE_COLUMNS:
            values = data[name]
            if not (np.isfinite(np.add.reduce(values)) and values.min() > 0):
                refuse(name, values, np.isfinite(values) & (values > 0),
                       "prices must be positive numbers")
        volume = data["volume"]
        if not (np.isfinite(np.add.reduce(volume)) and volume.min() >= 0):
            refuse("volume", volume, np.isfinite(volume) & (volume >= 0),
                   "volumes must be numbers >= 0")
    if np.less(data["high"], data["low"]).any():
        position = int(np.flatnonzero(data["high"] < data["low"])[0])
        raise DataError(f"{where(label, rows, position)}: high {data['high'][position]:g} is "
                        f"below low {data['low'][position]:g}")


def check_rising(stamps: np.ndarray, label: str, rows: np.ndarray,
                 show: Callable[[int], str]) -> None:
    """Dates (as int64) that rise; ``show`` writes the date at a position."""
    if stamps.size > 1 and np.less_equal(stamps[1:], stamps[:-1]).any():
        position = int(np.flatnonzero(stamps[1:] <= stamps[:-1])[0]) + 1
        previous = rows[position - 1] + 1
        if stamps[position] == stamps[position - 1]:
            problem = f"repeats the date of row {previous}"
        else:
            problem = f"comes before the date of row {previous} ({show(position - 1)})"
        raise DataError(f"{where(label, rows, position)}: date {show(position)} {problem}; "
                        "dates must rise, one bar per date")


def split_by_symbol(table: pa.Table, label: str) -> dict[str, pd.DataFrame]:
    """``{symbol: checked bars}`` from a table with a ``symbol`` column, the
    symbols sorted; each symbol's rows keep their order and their numbers."""
    column = table.column(SYMBOL_COLUMN)
    if column.null_count:
        position = int(np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0])
        raise DataError(f"{label}, row {position + 1}: symbol is missing")
    symbols = as_text(column, SYMBOL_COLUMN, label, "symbols").to_numpy(
        zero_copy_only=False).astype(str)
    names, codes = np.unique(np.char.strip(symbols), return_inverse=True)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(names) + 1))
    universe = {}
    for number, name in enumerate(names):
        rows = order[bounds[number]:bounds[number + 1]]
        if not name:
            raise DataError(f"{label}, row {int(rows[0]) + 1}: symbol is missing")
        universe[str(name)] = frame(table.take(pa.array(rows)), label, rows)
    return universe
