"""The floor of ``quorvane run sma_momentum --data FILE``: the least work that
computes the same thing, written directly.

    python bench/backtest_floor.py FILE.csv [MA_PERIOD]

It reads only the close column with pyarrow, computes the SMA momentum
positions (+1 above the average, -1 below, 0 during the warm-up) and the
account's equity with numpy, and prints the final equity.  The account holds
its units from one change of position to the next (fills at the close, no
costs): within a stretch the equity is E_k (1 + p (c_t / c_k - 1)), and E_k
compounds from one change to the next.  No checks, no statistics, no costs,
no trades: what a run cannot do without.
"""

import sys

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv


def main() -> None:
    path = sys.argv[1]
    period = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    table = pa_csv.read_csv(path, convert_options=pa_csv.ConvertOptions(
        include_columns=["close"], column_types={"close": pa.float64()}))
    close = table.column("close").to_numpy()
    total = np.cumsum(close)
    average = np.full(close.size, np.nan)
    average[period - 1] = total[period - 1] / period
    average[period:] = (total[period:] - total[:-period]) / period
    position = np.nan_to_num(np.sign(close - average))
    # The stretches between changes of position, and the close each began at.
    changes = np.flatnonzero(np.diff(position, prepend=0.0))
    stretch = np.cumsum(np.diff(position, prepend=0.0) != 0) - 1
    start = close[changes]
    growth = np.maximum(1.0 + position[changes[:-1]] * (start[1:] / start[:-1] - 1.0), 0.0)
    at_change = np.concatenate(([1.0], np.cumprod(growth)))
    held = np.maximum(stretch, 0)
    equity = at_change[held] * np.maximum(1.0 + position * (close / start[held] - 1.0), 0.0)
    equity[stretch < 0] = 1.0
    print(float(equity[-1]))


if __name__ == "__main__":
    main()
