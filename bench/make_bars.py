"""Write synthetic bars for the benchmarks: a CSV (or Parquet) file of one
symbol's minute bars, or a folder of several symbols' daily bars.

    python bench/make_bars.py OUT.csv [--bars 1000000] [--seed 7]

The prices are a geometric random walk; the dates are the minutes of 09:30 to
16:00 on weekdays, so a million bars span about ten years (or weekdays, for
the daily bars of a folder).  Nothing here is market data.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

MINUTES_PER_DAY = 390  # 09:30 to 16:00


def bars(count: int, seed: int = 7) -> pd.DataFrame:
    """``count`` synthetic minute bars with the columns of quorvane.data.read_bars."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2015-01-02", periods=-(-count // MINUTES_PER_DAY))
    minutes = pd.to_timedelta(np.arange(MINUTES_PER_DAY) + 9 * 60 + 30, unit="min")
    dates = (days.to_numpy()[:, None] + minutes.to_numpy()[None, :]).ravel()[:count]
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.0008, count)))
    open_ = np.empty(count)
    open_[0] = 100.0
    open_[1:] = close[:-1]
    spread = np.abs(rng.normal(0.0, 0.0004, count)) * close
    frame = pd.DataFrame({
        "open": open_,
        "high": np.maximum(open_, close) + spread,
        "low": np.minimum(open_, close) - spread,
        "close": close,
        "volume": rng.integers(100, 10_000, count).astype(float),
    }, index=pd.DatetimeIndex(dates, name="date"))
    return frame.round({"open": 4, "high": 4, "low": 4, "close": 4})


def daily_folder(folder: Path, symbols: int, count: int, seed: int = 11) -> None:
    """``symbols`` Parquet files of ``count`` weekday bars each, on the same dates."""
    folder.mkdir(parents=True, exist_ok=True)
    dates = pd.bdate_range("2015-01-02", periods=count, name="date")
    for number in range(symbols):
        frame = bars(count, seed + number)
        frame.index = dates
        write(frame, folder / f"S{number:04d}.parquet")


def write(frame: pd.DataFrame, path: Path) -> None:
    table = pa.Table.from_pandas(frame.reset_index(), preserve_index=False)
    if path.suffix.lower() in (".parquet", ".pq"):
        pq.write_table(table, path)
    else:
        pa_csv.write_csv(table, path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    write(bars(args.bars, args.seed), args.out)
    print(f"wrote {args.bars:,} bars to {args.out} ({args.out.stat().st_size / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
