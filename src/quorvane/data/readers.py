"""Reading price bars from CSV and Parquet files with pyarrow, checked row by row.

Every message about bad data names the file and the row.  Rows are counted
from 1 at the first data row, in CSV and Parquet alike: the header line of a
CSV file is not a row, so row N of a CSV file is on its line N + 1.

Reading is two steps: the files become arrow tables (:func:`read_source`,
which needs pyarrow only), and the tables become checked DataFrames
(:func:`frames`).  The command line runs the first step on a thread while
pandas and the strategy are imported.  The checks themselves are those of
:mod:`quorvane.data.checks`, which DataFrames pass too.
"""

from __future__ import annotations

import codecs
import csv
import io
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv

from .calendar import check_spacing
from .checks import (COLUMNS, EXPECTED, NUMBER_COLUMNS, PRICE_COLUMNS, SYMBOL_COLUMN, Columns,
                     DataError, as_text, assemble, check_one_symbol, find_columns, frame,
                     prepare, require_columns, split_by_symbol)

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["COLUMNS", "PRICE_COLUMNS", "DataError", "read_bars", "read_universe", "load_data",
           "data_files", "read_source", "frames", "Source"]

CSV_SUFFIXES = (".csv",)
PARQUET_SUFFIXES = (".parquet", ".pq")
DATA_SUFFIXES = CSV_SUFFIXES + PARQUET_SUFFIXES
_READ_UNIVERSE = "read it with read_universe"
_IN_A_FOLDER = ("in a folder each file holds the bars of one symbol, the file's name: split the "
                "file, or give it alone as the data")


# -- public entry points ------------------------------------------------------------

def read_bars(path: str | os.PathLike[str] | pd.DataFrame) -> pd.DataFrame:
    """The bars of one symbol from a CSV or Parquet file, or from a DataFrame.

    Args:
        path: A CSV or Parquet file whose column names come in any order
            and letter case (other columns are ignored; a ``symbol`` column
            must hold one symbol only: see :func:`read_universe` for
            several), or a DataFrame, checked by
            :func:`~quorvane.data.normalise_bars`.

    Returns:
        A DataFrame with a rising ``DatetimeIndex`` named ``date`` and the
        float64 columns ``open``, ``high``, ``low``, ``close`` and ``volume``.

    Raises:
        FileNotFoundError: No such file.
        DataError: Bad data, naming the file and the row.
    """
    if not isinstance(path, (str, os.PathLike)):
        from .frames import normalise_bars
        return normalise_bars(path)
    table, label = _read_table(Path(path))
    if SYMBOL_COLUMN in table.column_names:
        check_one_symbol(_symbols(table, label), label, _READ_UNIVERSE)
    return frame(table, label, np.arange(table.num_rows))


def read_universe(path: str | os.PathLike[str]) -> dict[str, pd.DataFrame]:
    """Bars of several symbols.

    Args:
        path: A directory holding one CSV or Parquet file per symbol (the
            file name without its extension is the symbol; other files are
            ignored), or one file with a ``symbol`` column.

    Returns:
        ``{symbol: DataFrame}`` as :func:`read_bars` gives them, in sorted
        order of the symbols, which share one bar spacing (see
        :func:`~quorvane.data.check_spacing`).

    Raises:
        FileNotFoundError: No such file or directory.
        DataError: Bad data, naming the file and the row.
    """
    # The one way data is read, so that the command line reads it alike.
    return frames(read_source(os.fspath(path)))


def load_data(path: str | os.PathLike[str] | pd.DataFrame | Mapping[str, pd.DataFrame] | None,
              symbols: Sequence[str] | None = None) -> dict[str, pd.DataFrame]:
    """The bars a run uses, as ``{symbol: DataFrame}`` in the form
    :func:`read_bars` returns.

    Args:
        path: The data: None for the shipped synthetic sample; a file (one
            symbol named by the file's stem, or several when it has a
            ``symbol`` column); a directory (one symbol per data file); or
            bars already held, as a DataFrame (the symbol ``symbols[0]``
            when one is given, else ``data``) or ``{symbol: DataFrame}``,
            each checked by :func:`~quorvane.data.normalise_bars`.
        symbols: The symbols to keep, in the order given; None keeps all.

    Returns:
        ``{symbol: DataFrame}``, the symbols sharing one bar spacing.

    Raises:
        FileNotFoundError: ``path`` names no file or directory.
        DataError: Bad data (naming the file or symbol and the row), a symbol
            the data does not hold, or symbols of different bar spacings.
        TypeError: ``path`` is none of the above.
    """
    if path is None or isinstance(path, (str, os.PathLike)):
        return frames(read_source(path, symbols), symbols)
    return _held(path, symbols)


def _held(data: object, symbols: Sequence[str] | None) -> dict[str, pd.DataFrame]:
    """Bars the caller holds, checked as files are."""
    import pandas as pd

    from .frames import normalise_bars
    if isinstance(data, pd.DataFrame):
        held = {symbols[0] if symbols is not None and len(symbols) == 1 else "data": data}
    elif isinstance(data, Mapping):
        held = {str(symbol): bars for symbol, bars in data.items()}
        if symbols is not None:
            _check_known(symbols, list(held), "the data")
            held = {symbol: held[symbol] for symbol in dict.fromkeys(symbols)}
    else:
        raise TypeError(f"the data must be a path, a DataFrame of bars or a mapping of symbols "
                        f"to DataFrames, not {type(data).__name__}")
    if not held:
        raise DataError("the data holds no symbol")
    universe = {symbol: normalise_bars(bars, label=symbol) for symbol, bars in held.items()}
    check_spacing(universe)
    return universe


def _symbols(table: pa.Table, label: str) -> list[str]:
    import pyarrow.compute as pa_compute
    text = as_text(table.column(SYMBOL_COLUMN), SYMBOL_COLUMN, label, "symbols")
    symbols: list[str] = pa_compute.unique(
        pa_compute.utf8_trim_whitespace(text)).drop_null().to_pylist()
    return symbols


# Per file read: (its symbol and its checked columns, or None and the table of
# a file with a symbol column; its label), and how to name the data in messages.
Source = tuple[list[tuple[str | None, "Columns | pa.Table", str]], str]


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
        return [(Path(SAMPLE_NAME).stem, prepare(table, label), label)], "the shipped sample"
    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(f"data file not found: {path}")
    if not path.is_dir():
        table, label = _read_table(path)
        if SYMBOL_COLUMN in table.column_names:
            return [(None, table, label)], str(path)
        return [(path.stem, prepare(table, label), label)], str(path)
    files = data_files(path)
    if symbols is not None:
        _check_known(symbols, list(files), str(path))
        files = {symbol: files[symbol] for symbol in dict.fromkeys(symbols)}
    tables: list[tuple[str | None, Columns | pa.Table, str]] = []
    for symbol, file in files.items():
        table, label = _read_table(file)
        if SYMBOL_COLUMN in table.column_names:
            # Read as one symbol, the jump between two symbols' prices would
            # count as a return.
            check_one_symbol(_symbols(table, label), label, _IN_A_FOLDER)
        tables.append((symbol, prepare(table, label), label))
    return tables, str(path)


def frames(source: Source, symbols: Sequence[str] | None = None) -> dict[str, pd.DataFrame]:
    """Checked DataFrames from :func:`read_source`'s tables, picked by ``symbols``."""
    tables, where = source
    universe: dict[str, pd.DataFrame] = {}
    for name, payload, label in tables:
        if name is None:
            universe.update(split_by_symbol(payload, label))
        else:
            universe[name] = assemble(payload, label, np.arange(len(payload.data["close"])))
    if symbols is not None:
        _check_known(symbols, list(universe), where)
        universe = {symbol: universe[symbol] for symbol in dict.fromkeys(symbols)}
    check_spacing(universe)
    return universe


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
        if entry.is_symlink() and not entry.exists():
            raise DataError(f"{entry} is a symbolic link to {os.readlink(entry)}, which does "
                            "not exist")
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
            raise DataError(f"{label} is empty; {EXPECTED}")
    except FileNotFoundError:
        raise FileNotFoundError(f"data file not found: {label}") from None
    if path.is_dir():
        raise DataError(f"{label} is a directory; read it with read_universe")
    if suffix in PARQUET_SUFFIXES:
        return _read_parquet(path, label), label
    return _read_csv(path, label), label


def _pick_columns(names: Sequence[str], label: str) -> dict[str, str]:
    """{canonical name: the file's name} for the bar columns and ``symbol``."""
    found = find_columns(names, label)
    require_columns(found, label)
    return {key: str(name) for key, name in found.items()}


def _read_csv(path: Path, label: str) -> pa.Table:
    with open(path, "rb") as stream:
        first = stream.readline()
    try:
        header_text = first.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise DataError(f"{label} is not UTF-8 text ({exc.reason})") from None
    header = _header(header_text)
    if not any(name.strip() for name in header):
        raise DataError(f"{label}: the first line is no header; {EXPECTED}")
    columns = _pick_columns(header, label)
    types = {columns[name]: pa.float64() for name in NUMBER_COLUMNS}
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


def _header(line: str) -> list[str]:
    """The column names of a CSV header line."""
    try:
        return next(csv.reader([line]), [])
    except csv.Error:
        pass
    # A name longer than the csv module's field limit: pyarrow has none (and
    # costs milliseconds, which a folder of many files would feel).
    try:
        names: list[str] = pa_csv.read_csv(
            io.BytesIO(line.encode()),
            read_options=pa_csv.ReadOptions(use_threads=False)).column_names
        return names
    except pa.ArrowInvalid:
        return []


def _read_csv_as_text(path: Path, label: str, columns: dict[str, str]) -> pa.Table:
    malformed: list[pa_csv.InvalidRow] = []

    def note(row: pa_csv.InvalidRow) -> str:
        malformed.append(row)
        return "skip"

    try:
        table = pa_csv.read_csv(
            path, read_options=pa_csv.ReadOptions(encoding="utf8", use_threads=False),
            parse_options=pa_csv.ParseOptions(invalid_row_handler=note),
            convert_options=pa_csv.ConvertOptions(
                include_columns=list(columns.values()),
                column_types={name: pa.string() for name in columns.values()}))
    except pa.ArrowInvalid as exc:
        reason = _not_utf8(path)
        if reason is not None:
            raise DataError(f"{label} is not UTF-8 text ({reason})") from None
        raise DataError(f"{label}: not a readable CSV file ({str(exc).splitlines()[0]})") from None
    if malformed:
        row = malformed[0]
        # The reader counts the header as row 1 and skips blank lines, as we do.
        where = f"{label}, row {row.number - 1}" if row.number else label
        raise DataError(f"{where}: {row.actual_columns} fields where the header names "
                        f"{row.expected_columns}")
    return table


def _not_utf8(path: Path) -> str | None:
    """Why the file is not UTF-8 text, or None when it is."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        with open(path, "rb") as stream:
            while chunk := stream.read(1 << 20):
                decoder.decode(chunk)
        decoder.decode(b"", final=True)
    except UnicodeDecodeError as exc:
        return str(exc.reason)
    return None


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
