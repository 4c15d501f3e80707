"""Reading bars: CSV and Parquet give the same DataFrame, bad data is refused
naming the file and the row (numbered the same way in both formats), and a
universe comes from a folder or from a file with a symbol column."""

import io

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq
import pytest

from quorvane.data import DataError, load_data, normalise_bars, read_bars, read_universe

GOOD = """\ufeffVolume,Note,CLOSE,Date,Low,High,open
10,a,100,2024-01-01,99,101,100
20,b,110.5,2024-01-02,100,111,101
30,c,99,2024-01-03,98,112,110
"""


def write(tmp_path, text, name="bars", fmt="csv"):
    """The CSV text as a .csv file, or as Parquet with the types pyarrow infers."""
    path = tmp_path / f"{name}.{fmt}"
    if fmt == "frame":
        return pd.read_csv(io.StringIO(text.lstrip("\ufeff")))
    if fmt == "csv":
        path.write_text(text, encoding="utf-8")
    else:
        pq.write_table(pa_csv.read_csv(io.BytesIO(text.lstrip("\ufeff").encode())), path)
    return path


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_bars_in_any_column_order_and_case(tmp_path, fmt):
    bars = read_bars(write(tmp_path, GOOD, fmt=fmt))
    assert list(bars.columns) == ["open", "high", "low", "close", "volume"]
    assert (bars.dtypes == np.float64).all()
    assert isinstance(bars.index, pd.DatetimeIndex) and bars.index.name == "date"
    assert bars.index.strftime("%Y-%m-%d").tolist() == ["2024-01-01", "2024-01-02", "2024-01-03"]
    assert bars["close"].tolist() == [100, 110.5, 99]
    assert bars["volume"].tolist() == [10, 20, 30]


HEADER = "date,open,high,low,close,volume\n"
ROW1 = "2024-01-01,1,2,0.5,1,10\n"


@pytest.mark.parametrize("rows, message", [
    ("2024-01-02,1,2,0.5,oops,10\n", "row 2: close is 'oops', not a number"),
    ("2024-01-02,1,2,0.5,,10\n", "row 2: close is missing"),
    ("2024-01-02,1,2,0,1,10\n", "row 2: low is 0; prices must be positive"),
    ("2024-01-02,-1,2,0.5,1,10\n", "row 2: open is -1; prices must be positive"),
    ("2024-01-02,1,2,0.5,1,-5\n", "row 2: volume is -5"),
    ("2024-01-02,1,0.4,0.5,0.45,10\n", "row 2: high 0.4 is below low 0.5"),
    ("2023-12-31,1,2,0.5,1,10\n", "row 2: date 2023-12-31 00:00:00 comes before the date of row 1"),
    ("2024-01-02,1,2,0.5,1,10\n2024-01-02,1,2,0.5,1,10\n",
     "row 3: date 2024-01-02 00:00:00 repeats the date of row 2"),
    ("31/01/2024,1,2,0.5,1,10\n", "row 2: date '31/01/2024' is not a date in ISO format"),
])
@pytest.mark.parametrize("fmt", ["csv", "parquet", "frame"])
def test_bad_rows_are_named_by_file_and_row(tmp_path, fmt, rows, message):
    # A DataFrame the caller holds is refused as its file would be.
    path = write(tmp_path, HEADER + ROW1 + rows, fmt=fmt)
    with pytest.raises(DataError) as info:
        read_bars(path)
    assert str(info.value).startswith(f"{'bars' if fmt == 'frame' else path}, {message}")


@pytest.mark.parametrize("text, message", [
    ("", "is empty; expected the columns date,open,high,low,close,volume"),
    (HEADER, "holds no bars, only a header"),
    ("date,open,high,low,volume\n" + "2024-01-01,1,1,1,1\n", "no column close"),
    ("date,close,Close,open,high,low,volume\n", "two columns named close"),
    (HEADER + ROW1 + "2024-01-02,1,2,0.5,1,10,extra\n", "row 2: 7 fields where the header names 6"),
])
def test_unusable_files_are_refused(tmp_path, text, message):
    path = write(tmp_path, text)
    with pytest.raises(DataError, match=message):
        read_bars(path)


UNIVERSE = """symbol,date,open,high,low,close,volume
B,2024-01-01,1,1,1,1,1
A,2024-01-01,2,2,2,2,1
B,2024-01-02,1,1,1,1.5,1
A,2024-01-03,2,2,2,2.5,1
"""


def test_universe_from_a_file_with_a_symbol_column(tmp_path):
    universe = read_universe(write(tmp_path, UNIVERSE))
    assert list(universe) == ["A", "B"]
    assert universe["A"]["close"].tolist() == [2, 2.5]
    assert universe["B"].index.day.tolist() == [1, 2]
    with pytest.raises(DataError, match="holds 2 symbols .*read it with read_universe"):
        read_bars(tmp_path / "bars.csv")


def test_universe_rows_keep_their_numbers_in_the_file(tmp_path):
    path = write(tmp_path, UNIVERSE + "A,2024-01-02,2,2,2,2,1\n")
    with pytest.raises(DataError, match=r"row 5: date 2024-01-02 00:00:00 comes before the date "
                                        r"of row 4"):
        read_universe(path)


def test_universe_from_a_folder_and_picking_symbols(tmp_path):
    write(tmp_path, GOOD, "MSFT")
    write(tmp_path, GOOD, "AAPL", fmt="parquet")
    (tmp_path / "README.txt").write_text("not data")
    universe = load_data(tmp_path)
    assert list(universe) == ["AAPL", "MSFT"]
    pd.testing.assert_frame_equal(universe["AAPL"], universe["MSFT"])
    assert list(load_data(tmp_path, ["MSFT"])) == ["MSFT"]
    with pytest.raises(DataError, match="holds no symbol IBM; it holds AAPL, MSFT"):
        load_data(tmp_path, ["IBM", "MSFT"])
    write(tmp_path, GOOD, "MSFT", fmt="parquet")
    with pytest.raises(DataError, match="two files for the symbol MSFT"):
        load_data(tmp_path)


def test_load_data_defaults_to_the_sample_and_names_a_file_by_its_stem(tmp_path):
    assert list(load_data(None)) == ["sample_daily"]
    assert list(load_data(write(tmp_path, GOOD, "OGDC"))) == ["OGDC"]
    with pytest.raises(FileNotFoundError, match="data file not found"):
        load_data(tmp_path / "missing.csv")


# -- DataFrames the caller holds -------------------------------------------------

def _shapes(tmp_path):
    """The same bars in the shapes users hold them."""
    path = write(tmp_path, GOOD)
    text = GOOD.lstrip("\ufeff")
    yield pd.read_csv(path, index_col="Date", parse_dates=True)
    yield pd.read_csv(path, index_col="Date")  # ISO text in an index named Date
    plain = pd.read_csv(io.StringIO(text))
    yield plain  # a Date column of text
    yield plain.assign(Date=pd.to_datetime(plain["Date"]), **{"Adj Close": 1.0})
    yield plain.assign(Close=plain["CLOSE"].astype(object).astype(str)).drop(columns="CLOSE")
    with_tz = plain.assign(Date=pd.to_datetime(plain["Date"]).dt.tz_localize("UTC"))
    yield with_tz.assign(Date=with_tz["Date"].dt.tz_localize(None))
    # Labels in two levels, one naming the symbol.
    two = pd.read_csv(path, index_col="Date", parse_dates=True)
    two.columns = pd.MultiIndex.from_product([two.columns, ["OGDC"]], names=["Price", "Ticker"])
    yield two
    yield read_bars(path)


def test_dataframes_in_the_usual_shapes_normalise_to_what_the_reader_gives(tmp_path):
    expected = read_bars(write(tmp_path, GOOD))
    for number, shape in enumerate(_shapes(tmp_path)):
        before = shape.copy()
        for normalised in (normalise_bars(shape), read_bars(shape)):
            pd.testing.assert_frame_equal(normalised, expected, obj=f"shape {number}")
        pd.testing.assert_frame_equal(shape, before)  # the caller's frame is left alone


@pytest.mark.parametrize("change, message", [
    (lambda f: f.assign(close=f["close"].where(f.index.day != 2)), ", row 2: close is missing"),
    (lambda f: f.assign(volume=np.inf), ", row 1: volume is inf; volumes must be numbers >= 0"),
    (lambda f: f.iloc[::-1], ", row 2: date 2024-01-02 00:00:00 comes before the date of row 1"),
    (lambda f: f.reset_index(drop=True), ": no column date; expected the columns date,open,"
                                         "high,low,close,volume (any order and letter case; the "
                                         "dates may be the index)"),
    (lambda f: f.iloc[:0].rename(columns=str.upper), " holds no bars"),
    (lambda f: f.assign(symbol=["X", "Y", "X"]), " holds 2 symbols (X, Y); pass one DataFrame "
                                                 "per symbol"),
    (lambda f: pd.concat({"X": f, "Y": f}, axis=1).swaplevel(axis=1),
     " holds 2 symbols (X, Y); pass one DataFrame per symbol"),
])
def test_bad_dataframes_are_refused_naming_the_label_and_row(tmp_path, change, message):
    bars = change(read_bars(write(tmp_path, GOOD)))
    with pytest.raises(DataError) as info:
        normalise_bars(bars, label="OGDC")
    assert str(info.value).startswith(f"OGDC{message}")


def test_symbols_of_different_bar_spacings_are_refused_everywhere(tmp_path):
    from quorvane import sweep
    from quorvane.sweeps import SweepError

    days = read_bars(write(tmp_path, GOOD))
    hours = days.set_axis(pd.date_range("2024-01-01", periods=3, freq="h", name="date"))
    folder = tmp_path / "mixed"
    folder.mkdir()
    days.to_csv(folder / "DAY.csv")
    hours.to_parquet(folder / "HOUR.parquet")
    message = "DAY has daily bars and HOUR 1-hour bars; symbols run together need one bar spacing"
    for read in (load_data, read_universe):
        with pytest.raises(DataError, match=message):
            read(folder)
    with pytest.raises(SweepError, match=message):
        sweep("sma_momentum", {"ma_period": [2]}, {"DAY": days, "HOUR": hours}, jobs=1)
    assert list(load_data(folder, ["HOUR"])) == ["HOUR"]


def test_a_sweep_checks_the_dataframe_it_is_given(tmp_path):
    from quorvane import sweep
    from quorvane.sweeps import SweepError

    bars = read_bars(write(tmp_path, GOOD))
    with pytest.raises(SweepError, match="data, row 2: date 2024-01-02 00:00:00 comes before"):
        sweep("sma_momentum", {"ma_period": [2]}, bars.iloc[::-1], jobs=1)
    with pytest.raises(SweepError, match="AAA, row 3: close is -1"):
        sweep("sma_momentum", {"ma_period": [2]}, {"AAA": bars.assign(close=[1.0, 2.0, -1.0])},
              jobs=1)


# -- the calendar of the dates -------------------------------------------------------

MINUTES = pd.DatetimeIndex([day + pd.Timedelta(minutes=570 + m)
                            for day in pd.bdate_range("2024-01-01", periods=3) for m in range(390)])


@pytest.mark.parametrize("dates, bars_per_year, reason", [
    (pd.bdate_range("2024-01-01", periods=30), 252, "daily bars, weekdays only"),
    (pd.date_range("2024-01-01", periods=30, freq="D"), 365, "daily bars, weekends included"),
    (pd.date_range("2024-01-01", periods=30, freq="W"), 52, "weekly bars"),
    (pd.date_range("2024-01-31", periods=30, freq="ME"), 12, "monthly bars"),
    (pd.date_range("2024-01-31", periods=30, freq="BME"), 12, "monthly bars"),
    (pd.date_range("2000-03-31", periods=30, freq="BQE"), 4, "quarterly bars"),
    (pd.date_range("1990-12-31", periods=30, freq="YE"), 1, "yearly bars"),
    # The data's own calendar: steps over the years from the first date to the last.
    (pd.date_range("2024-01-01", periods=240, freq="h", tz="UTC"), 8766, "1-hour bars, by the "
     "data's own calendar: 239 steps over 10.0 days"),
    (MINUTES, round(1169 / ((2 * 1440 + 389) / (365.25 * 1440))), "1-minute bars"),
    (pd.date_range("2020-01-01", periods=100, freq="3D"), round(99 / (297 / 365.25)),
     "bars 3 days apart, a spacing with no name, by the data's own calendar"),
])
def test_bars_per_year_follow_the_spacing_of_the_dates(dates, bars_per_year, reason):
    from quorvane.stats import infer_bars_per_year

    assert infer_bars_per_year(dates)[0] == bars_per_year
    assert infer_bars_per_year(dates)[1].startswith(reason)


@pytest.mark.parametrize("zone, switch", [("Europe/Berlin", None), ("America/New_York", None),
                                          (None, 40)])
def test_dates_written_with_summer_time_offsets_keep_their_local_calendar(tmp_path, zone, switch):
    from quorvane.stats import infer_bars_per_year

    days = pd.bdate_range("2023-01-02", "2024-12-31")
    if zone is not None:
        stamps = [day.isoformat() for day in days.tz_localize(zone)]
    else:  # offsets that change on a made-up day: no zone has that rule
        stamps = [f"{day.date()}T00:00:00+0{1 if n < switch else 2}:00"
                  for n, day in enumerate(days)]
    text = "date,open,high,low,close,volume\n" + "".join(
        f"{stamp},1,1,1,1,1\n" for stamp in stamps)
    bars = read_bars(write(tmp_path, text))
    assert (bars.index.tz_localize(None).normalize() == days).all()
    assert (bars.index == pd.DatetimeIndex(pd.to_datetime(stamps, utc=True))).all()
    assert infer_bars_per_year(bars.index) == (252, "daily bars, weekdays only")


# -- files the readers used to misread --------------------------------------------------

def test_a_folder_file_holding_several_symbols_is_refused_by_every_reader(tmp_path):
    # Run as one symbol, X 10->20 then Y 100->50 made a +400% "MIX".
    (tmp_path / "MIX.csv").write_text("symbol,date,open,high,low,close,volume\n"
                                      "X,2024-01-01,10,10,10,10,1\nX,2024-01-02,20,20,20,20,1\n"
                                      "Y,2024-01-03,100,100,100,100,1\nY,2024-01-04,50,50,50,50,1\n")
    write(tmp_path, GOOD, "ONE")
    for read in (load_data, read_universe):
        with pytest.raises(DataError, match=r"MIX.csv holds 2 symbols \(X, Y\); in a folder each "
                                            r"file holds the bars of one symbol"):
            read(tmp_path)
    assert list(read_universe(tmp_path / "MIX.csv")) == ["X", "Y"]


def test_a_broken_link_in_a_data_folder_is_refused_by_name(tmp_path):
    write(tmp_path, GOOD, "AAA")
    (tmp_path / "CCC.csv").symlink_to(tmp_path / "gone.csv")
    for read in (load_data, read_universe):
        with pytest.raises(DataError, match=r"CCC.csv is a symbolic link to .*gone.csv, which "
                                            r"does not exist"):
            read(tmp_path)


OUT_OF_RANGE = "is outside the dates pandas can hold (1677-09-22 to 2262-04-11)"


@pytest.mark.parametrize("fmt", ["csv", "parquet", "typed parquet", "frame"])
@pytest.mark.parametrize("date", ["1500-01-02", "2263-01-02"])
def test_dates_pandas_cannot_hold_are_refused_naming_the_row(tmp_path, fmt, date):
    text = HEADER + ROW1.replace("2024-01-01", "1700-01-01") + f"{date},1,2,0.5,1,10\n"
    if fmt == "typed parquet":
        table = pa_csv.read_csv(io.BytesIO(text.encode()), convert_options=pa_csv.ConvertOptions(
            column_types={"date": pa.timestamp("us")}))
        pq.write_table(table, tmp_path / "bars.parquet")
        data = tmp_path / "bars.parquet"
    else:
        data = write(tmp_path, text, fmt=fmt)
    with pytest.raises(DataError) as info:
        read_bars(data)
    assert str(info.value).startswith(f"{'bars' if fmt == 'frame' else data}, row 2: date ")
    assert str(info.value).endswith(OUT_OF_RANGE)


@pytest.mark.parametrize("column, message", [
    (pa.array([1, 2**53 + 1], pa.int64()), "bars.parquet, row 2: close is 9007199254740993, a "
                                           "whole number too large to be held exactly (over 2**53)"),
    (pa.array([[1.0], [2.0]]), "bars.parquet: the column close holds list<element: double> "
                               "values, not numbers"),
])
def test_parquet_columns_that_do_not_convert_are_refused_in_one_line(tmp_path, column, message):
    table = pa.table({"date": ["2024-01-01", "2024-01-02"], "open": [1, 2], "high": [1, 2],
                      "low": [1, 2], "close": column, "volume": [1, 2]})
    pq.write_table(table, tmp_path / "bars.parquet")
    with pytest.raises(DataError) as info:
        read_bars(tmp_path / "bars.parquet")
    assert str(info.value) == f"{tmp_path}/{message}"


def test_a_field_longer_than_the_csv_modules_limit_in_an_ignored_column_is_read(tmp_path):
    long = "x" * 200_000
    text = HEADER.rstrip("\n") + f",{long}\n" + ROW1.rstrip("\n") + f",{long}\n"
    assert read_bars(write(tmp_path, text))["close"].tolist() == [1.0]
    # A bad row is still named for what it is, not for the long field before it.
    with pytest.raises(DataError, match=r"row 2: 6 fields where the header names 7"):
        read_bars(write(tmp_path, text + ROW1))
