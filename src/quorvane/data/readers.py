"""Reading price bars from CSV and Parquet files with pyarrow, checked row by row.

Every message about bad data names the file and the row.  Rows are counted
from 1 at the first data row, in CSV and Parquet alike: the header line of a
CSV file is not a row, so row N of a CSV file is on its line N + 1.

Reading is two steps: the files become arrow tables (:func:`read_source`,
which needs pyarrow only), and the tables become checked DataFrames
(:func:`frames`).  The command line runs the first step on a thread while
pandas and the strategy are imported.
"""

from __future__ import annotations

import csv
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["COLUMNS", "PRICE_COLUMNS", "DataError", "read_bars", "read_universe", "load_data",
           "data_files", "read_source", "frames", "Source"]

PRICE_COLUMNS = ("open", "high", "low", "close")
COLUMNS = ("date", *PRICE_COLUMNS, "volume")
SYMBOL_COLUMN = "symbol"
CSV_SUFFIXES = (".csv",)
PARQUET_SUFFIXES = (".parquet", ".pq")
DATA_SUFFIXES = CSV_SUFFIXES + PARQUET_SUFFIXES
_EXPECTED = f"expected the columns {','.join(COLUMNS)} (any order and letter case)"


class DataError(ValueError):
    """Bars that cannot be used as they stand; the message names the file and the row."""


# -- public entry points ------------------------------------------------------------

def read_bars(path: str | os.PathLike[str]) -> pd.DataFrame:
    """The bars of one symbol from a CSV or Parquet file.

    Returns a DataFrame with a rising ``DatetimeIndex`` named ``date`` and the
    float64 columns ``open``, ``high``, ``low``, ``close`` and ``volume``.
    The file's column names may come in any order and letter case; other
    columns are ignored.  A file with a ``symbol`` column must hold one
    symbol only (see :func:`read_universe` for several).  Raises
    :class:`DataError` naming the file and the row for bad data.
    """
    table, label = _read_table(Path(path))
    if SYMBOL_COLUMN in table.column_names:
        import pyarrow.compute as pa_compute
        symbols = pa_compute.unique(table.column(SYMBOL_COLUMN).cast(pa.string()))
        if len(symbols) > 1:
            names = ", ".join(sorted(str(s) for s in symbols.to_pylist()[:5]))
            raise DataError(f"{label} holds {len(symbols)} symbols ({names}"
                            f"{', ...' if len(symbols) > 5 else ''}); "
                            "read it with read_universe")
    return _frame(table, label, np.arange(table.num_rows))


def read_universe(path: str | os.PathLike[str]) -> dict[str, pd.DataFrame]:
    """Bars of several symbols: ``{symbol: DataFrame}`` as :func:`read_bars` gives them.

    ``path`` is a directory holding one CSV or Parquet file per symbol (the
    file name without its extension is the symbol; other files are
    ignored) or one file with a ``symbol`` column.  Symbols come in sorted
    order.
    """
    path = Path(path)
    if path.is_dir():
        return {symbol: read_bars(file) for symbol, file in data_files(path).items()}
    table, label = _read_table(path)
    if SYMBOL_COLUMN not in table.column_names:
        return {path.stem: _frame(table, label, np.arange(table.num_rows))}
    return _split_by_symbol(table, label)


def load_data(path: str | os.PathLike[str] | None,
              symbols: Sequence[str] | None = None) -> dict[str, pd.DataFrame]:
    """The bars a run uses, as ``{symbol: DataFrame}``.

    ``path`` None means the shipped synthetic sample; a file gives one symbol
    named by the file's stem, or several when it has a ``symbol`` column; a
    directory gives one symbol per data file.  ``symbols`` picks some of them,
    in the order given; a symbol the data does not hold is refused.
    """
    return frames(read_source(path, symbols), symbols)


# Per file read: (its symbol and its checked columns, or None and the table of
# a file with a symbol column; its label), and how to name the data in messages.
Source = tuple[list[tuple[str | None, "_Columns | pa.Table", str]], str]


def read_source(path: str | os.PathLike[str] | None,
                symbols: Sequence[str] | None = None) -> Source:
    """What :func:`load_data` reads, as checked numpy columns (arrow tables for
    files with a symbol column); from a folder, only the files of ``symbols``.
    Needs no pandas for data in the usual form."""
    if path is None:
        from importlib.resources import as_file

        from . import SAMPLE_NAME, sample_csv
        with as_file(sample_csv()) as sample:  # a real path for pyarrow
            table, label = _read_table(sample)
        return [(Path(SAMPLE_NAME).stem, _prepare(table, label), label)], "the shipped sample"
    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(f"data file not found: {path}")
    if not path.is_dir():
        table, label = _read_table(path)
        if SYMBOL_COLUMN in table.column_names:
            return [(None, table, label)], str(path)
        return [(path.stem, _prepare(table, label), label)], str(path)
    files = data_files(path)
    if symbols is not None:
        _check_known(symbols, list(files), str(path))
        files = {symbol: files[symbol] for symbol in dict.fromkeys(symbols)}
    tables: list[tuple[str | None, _Columns | pa.Table, str]] = []
    for symbol, file in files.items():
        table, label = _read_table(file)
        tables.append((symbol, _prepare(table, label), label))
    return tables, str(path)


def frames(source: Source, symbols: Sequence[str] | None = None) -> dict[str, pd.DataFrame]:
    """Checked DataFrames from :func:`read_source`'s tables, picked by ``symbols``."""
    tables, where = source
    universe: dict[str, pd.DataFrame] = {}
    for name, payload, label in tables:
        if name is None:
            universe.update(_split_by_symbol(payload, label))
        else:
            universe[name] = _assemble(payload, label, np.arange(len(payload.data["close"])))
    if symbols is None:
        return universe
    _check_known(symbols, list(universe), where)
    return {symbol: universe[symbol] for symbol in dict.fromkeys(symbols)}


def _check_known(symbols: Sequence[str], held: list[str], where: str) -> None:
    unknown = [symbol for symbol in symbols if symbol not in held]
    if unknown:
        listed = ", ".join(held[:20]) + (", ..." if len(held) > 20 else "")
        raise DataError(f"{where} holds no symbol {', '.join(unknown)}; it holds {listed}")


def data_files(directory: Path) -> dict[str, Path]:
    """``{symbol: file}`` for the CSV and Parquet files of a directory, sorted by symbol."""
    files: dict[str, Path] = {}
    for entry in sorted(directory.iterdir()):
        if entry.name.startswith(".") or entry.suffix.lower() not in DATA_SUFFIXES:
            continue
        if not entry.is_file():
            continue
        if entry.stem in files:
            raise DataError(f"{directory}: two files for the symbol {entry.stem}: "
                            f"{files[entry.stem].name} and {entry.name}")
        files[entry.stem] = entry
    if not files:
        raise DataError(f"{directory} holds no data files (*.csv, *.parquet)")
    return files


# -- reading a file into an arrow table with canonical column names -----------------

def _read_table(path: Path) -> tuple[pa.Table, str]:
    label = str(path)
    suffix = path.suffix.lower()
    try:
        if path.stat().st_size == 0:
            raise DataError(f"{label} is empty; {_EXPECTED}")
    except FileNotFoundError:
        raise FileNotFoundError(f"data file not found: {label}") from None
    if path.is_dir():
        raise DataError(f"{label} is a directory; read it with read_universe")
    if suffix in PARQUET_SUFFIXES:
        return _read_parquet(path, label), label
    return _read_csv(path, label), label


def _pick_columns(names: Sequence[str], label: str) -> dict[str, str]:
    """{canonical name: the file's name} for the bar columns and ``symbol``."""
    found: dict[str, str] = {}
    for name in names:
        key = str(name).strip().lower()
        if key in COLUMNS or key == SYMBOL_COLUMN:
            if key in found:
                raise DataError(f"{label}: two columns named {key} "
                                f"({found[key]!r} and {name!r})")
            found[key] = name
    missing = [name for name in COLUMNS if name not in found]
    if missing:
        raise DataError(f"{label}: no column {', '.join(missing)}; {_EXPECTED}")
    return found


def _read_csv(path: Path, label: str) -> pa.Table:
    with open(path, "rb") as stream:
        first = stream.readline()
    try:
        header_text = first.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise DataError(f"{label} is not UTF-8 text ({exc.reason})") from None
    header = next(csv.reader([header_text]), [])
    if not any(name.strip() for name in header):
        raise DataError(f"{label}: the first line is no header; {_EXPECTED}")
    columns = _pick_columns(header, label)
    types = {columns[name]: pa.float64() for name in (*PRICE_COLUMNS, "volume")}
    # Naming the type spares the library's guessing, a good part of the
    # reading time; dates it cannot take this way (offsets, other formats)
    # go the slow way below.
    types[columns["date"]] = pa.timestamp("ns")
    if SYMBOL_COLUMN in columns:
        types[columns[SYMBOL_COLUMN]] = pa.string()
    read_options = pa_csv.ReadOptions(encoding="utf8")
    try:
        table = pa_csv.read_csv(path, read_options=read_options,
                                convert_options=pa_csv.ConvertOptions(
                                    include_columns=list(columns.values()),
                                    column_types=types))
    except pa.ArrowInvalid:
        # Read everything as text and find the first bad row ourselves: the
        # library's messages count lines differently from ours.
        table = _read_csv_as_text(path, label, columns)
    except UnicodeDecodeError as exc:  # pragma: no cover - pyarrow reports ArrowInvalid
        raise DataError(f"{label} is not UTF-8 text ({exc.reason})") from None
    return table.rename_columns([_canonical(name, columns) for name in table.column_names])


def _read_csv_as_text(path: Path, label: str, columns: dict[str, str]) -> pa.Table:
    try:
        return pa_csv.read_csv(
            path, read_options=pa_csv.ReadOptions(encoding="utf8"),
            convert_options=pa_csv.ConvertOptions(
                include_columns=list(columns.values()),
                column_types={name: pa.string() for name in columns.values()}))
    except pa.ArrowInvalid:
        pass
    # A malformed line (a wrong number of fields, bad quoting or encoding):
    # the standard reader says which one.
    try:
        with open(path, encoding="utf-8-sig", newline="") as stream:
            reader = csv.reader(stream)
            width = len(next(reader))
            # Blank lines are no rows, for pyarrow as here.
            for row_number, row in enumerate((row for row in reader if row), start=1):
                if len(row) != width:
                    raise DataError(f"{label}, row {row_number}: {len(row)} fields where the "
                                    f"header names {width}")
    except UnicodeDecodeError as exc:
        raise DataError(f"{label} is not UTF-8 text ({exc.reason})") from None
    except csv.Error as exc:
        raise DataError(f"{label}: {exc}") from None
    raise DataError(f"{label}: not a readable CSV file")


def _read_parquet(path: Path, label: str) -> pa.Table:
    import pyarrow.parquet as pq
    try:
        schema = pq.read_schema(path)
        columns = _pick_columns(schema.names, label)
        table = pq.read_table(path, columns=list(columns.values()))
    except (pa.ArrowInvalid, OSError) as exc:
        if isinstance(exc, FileNotFoundError):
            raise
        raise DataError(f"{label}: not a readable Parquet file ({exc})") from None
    return table.rename_columns([_canonical(name, columns) for name in table.column_names])


def _canonical(name: str, columns: dict[str, str]) -> str:
    for key, original in columns.items():
        if original == name:
            return key
    return name  # pragma: no cover


# -- turning a table into checked bars ----------------------------------------------

class _Columns(NamedTuple):
    """A table's bars as checked numpy columns, before pandas comes in."""

    data: dict[str, np.ndarray]  # the float columns, checked
    stamps: np.ndarray | None    # the dates as datetime64[ns], checked to rise; None: to parse
    dates: pa.ChunkedArray       # the date column as read


def _frame(table: pa.Table, label: str, rows: np.ndarray) -> pd.DataFrame:
    """Checked bars from ``table``; ``rows[i]`` is the 0-based file row of table row i."""
    return _assemble(_prepare(table, label, rows), label, rows)


def _prepare(table: pa.Table, label: str, rows: np.ndarray | None = None) -> _Columns:
    """The numpy part of the checks: numbers, and dates the file already typed."""
    if rows is None:
        rows = np.arange(table.num_rows)
    if table.num_rows == 0:
        raise DataError(f"{label} holds no bars, only a header")
    data = {name: _numbers(table.column(name), name, label, rows)
            for name in (*PRICE_COLUMNS, "volume")}
    with np.errstate(over="ignore"):
        _check_values(data, label, rows)
    column = table.column("date")
    stamps = None
    if pa.types.is_timestamp(column.type) and column.type.tz is None and not column.null_count:
        stamps = column.cast(pa.timestamp("ns")).to_numpy()
        _check_rising(stamps.view(np.int64), label, rows, lambda at: _timestamp(stamps[at]))
    return _Columns(data, stamps, column)


def _timestamp(value: np.datetime64) -> str:
    import pandas as pd  # only to word a message
    return str(pd.Timestamp(value))


def _assemble(columns: _Columns, label: str, rows: np.ndarray) -> pd.DataFrame:
    import pandas as pd
    if columns.stamps is not None:
        index = pd.DatetimeIndex(columns.stamps, name="date")
    else:
        index = _dates(columns.dates, label, rows)
        _check_rising(index.asi8, label, rows, lambda at: str(index[at]))
    return pd.DataFrame(columns.data, index=index, copy=False)


def _where(label: str, rows: np.ndarray, position: int) -> str:
    return f"{label}, row {int(rows[position]) + 1}"


def _numbers(column: pa.ChunkedArray, name: str, label: str, rows: np.ndarray) -> np.ndarray:
    if pa.types.is_floating(column.type) or pa.types.is_integer(column.type) \
            or pa.types.is_decimal(column.type):
        values = column.cast(pa.float64()).to_numpy()
        if column.null_count:
            position = int(np.flatnonzero(np.isnan(values) & column.is_null().to_numpy(
                zero_copy_only=False))[0])
            raise DataError(f"{_where(label, rows, position)}: {name} is missing")
        return values
    import pandas as pd
    text = column.cast(pa.string()).to_pandas()
    values = pd.to_numeric(text.str.strip(), errors="coerce").to_numpy(dtype=float)
    bad = np.flatnonzero(np.isnan(values))
    if bad.size:
        position = int(bad[0])
        raw = text.iloc[position]
        what = "missing" if raw is None or not str(raw).strip() else f"{raw!r}, not a number"
        if isinstance(raw, str) and raw.strip().lower() == "nan":
            what = "nan, not a number"
        raise DataError(f"{_where(label, rows, position)}: {name} is {what}")
    return values


def _dates(column: pa.ChunkedArray, label: str, rows: np.ndarray) -> pd.DatetimeIndex:
    import pandas as pd
    if column.null_count:
        position = int(np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0])
        raise DataError(f"{_where(label, rows, position)}: date is missing")
    kind = column.type
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        index = pd.DatetimeIndex(column.to_pandas())
    else:
        text = column.cast(pa.string()).to_pandas().str.strip()
        try:
            parsed = pd.to_datetime(text, format="ISO8601", errors="coerce")
        except (ValueError, TypeError):
            # Offsets that differ from row to row (summer time): keep the
            # instants, in UTC.
            parsed = pd.to_datetime(text, format="ISO8601", errors="coerce", utc=True)
        bad = np.flatnonzero(parsed.isna().to_numpy())
        if bad.size:
            position = int(bad[0])
            raise DataError(f"{_where(label, rows, position)}: date {text.iloc[position]!r} is "
                            "not a date in ISO format (2024-01-31, optionally with a time)")
        index = pd.DatetimeIndex(parsed)
    # One unit everywhere, so that integer date arithmetic means the same.
    return index.as_unit("ns").rename("date")


def _check_values(data: dict[str, np.ndarray], label: str, rows: np.ndarray) -> None:
    for name in PRICE_COLUMNS:
        values = data[name]
        if not (np.isfinite(np.add.reduce(values)) and values.min() > 0):
            bad = np.flatnonzero(~(np.isfinite(values) & (values > 0)))
            if bad.size:  # else only the sum overflowed
                position = int(bad[0])
                raise DataError(f"{_where(label, rows, position)}: {name} is "
                                f"{values[position]:g}; prices must be positive numbers")
    volume = data["volume"]
    if not (np.isfinite(np.add.reduce(volume)) and volume.min() >= 0):
        bad = np.flatnonzero(~(np.isfinite(volume) & (volume >= 0)))
        if bad.size:
            position = int(bad[0])
            raise DataError(f"{_where(label, rows, position)}: volume is {volume[position]:g}; "
                            "volumes must be numbers >= 0")
    if np.less(data["high"], data["low"]).any():
        position = int(np.flatnonzero(data["high"] < data["low"])[0])
        raise DataError(f"{_where(label, rows, position)}: high {data['high'][position]:g} is "
                        f"below low {data['low'][position]:g}")


def _check_rising(stamps: np.ndarray, label: str, rows: np.ndarray,
                  show: Callable[[int], str]) -> None:
    """Dates (as int64) that rise; ``show`` writes the date at a position."""
    if stamps.size > 1 and np.less_equal(stamps[1:], stamps[:-1]).any():
        position = int(np.flatnonzero(stamps[1:] <= stamps[:-1])[0]) + 1
        previous = rows[position - 1] + 1
        if stamps[position] == stamps[position - 1]:
            problem = f"repeats the date of row {previous}"
        else:
            problem = f"comes before the date of row {previous} ({show(position - 1)})"
        raise DataError(f"{_where(label, rows, position)}: date {show(position)} {problem}; "
                        "dates must rise, one bar per date")


def _split_by_symbol(table: pa.Table, label: str) -> dict[str, pd.DataFrame]:
    column = table.column(SYMBOL_COLUMN)
    if column.null_count:
        position = int(np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0])
        raise DataError(f"{label}, row {position + 1}: symbol is missing")
    symbols = column.cast(pa.string()).to_numpy(zero_copy_only=False).astype(str)
    names, codes = np.unique(np.char.strip(symbols), return_inverse=True)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(names) + 1))
    universe = {}
    for number, name in enumerate(names):
        rows = order[bounds[number]:bounds[number + 1]]
        if not name:
            raise DataError(f"{label}, row {int(rows[0]) + 1}: symbol is missing")
        universe[str(name)] = _frame(table.take(pa.array(rows)), label, rows)
    return universe
