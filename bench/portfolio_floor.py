"""The floor of ``quorvane run sma_momentum --data FOLDER`` over a folder of
Parquet files of the same dates: the least work over the same closes.

    python bench/portfolio_floor.py FOLDER [MA_PERIOD]

It reads only the close column of each file with pyarrow, computes each
symbol's SMA momentum positions with numpy, and the equity of an equal-weight
portfolio re-sized at every close (one product over the dates), and prints
the final equity.  The account of ``run`` holds units between fills, which
numpy cannot compute without a loop over the dates; this is the work on the
same closes that any portfolio backtest needs.
"""

import sys
from pathlib import Path

import numpy as np
import pyarrow.parquet as pq


def main() -> None:
    folder = Path(sys.argv[1])
    period = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    files = sorted(folder.glob("*.parquet"))
    close = np.column_stack([pq.read_table(file, columns=["close"]).column(0).to_numpy()
                             for file in files])
    total = np.cumsum(close, axis=0)
    average = np.full(close.shape, np.nan)
    average[period - 1] = total[period - 1] / period
    average[period:] = (total[period:] - total[:-period]) / period
    position = np.nan_to_num(np.sign(close - average))
    moves = position[:-1] * (close[1:] / close[:-1] - 1.0)
    equity = np.cumprod(1.0 + moves.mean(axis=1))
    print(float(equity[-1]))


if __name__ == "__main__":
    main()
