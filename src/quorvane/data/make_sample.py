"""Write the synthetic daily bars shipped as ``sample_daily.csv``.

Run ``python src/quorvane/data/make_sample.py`` from the project root to write
the file again; the output is the same on every machine and Python version.
The prices are a random walk whose drift changes every few weeks (up,
down, sideways), so that trend-following and mean-reverting strategies
both find something to do.  None of it is market data.

Only ``random.random`` and plain arithmetic are used: library functions such
as ``math.log`` may differ in their last bit between platforms, which could
change a rounded price.
"""

from __future__ import annotations

import datetime
import random
import sys
from pathlib import Path

SEED = 20240105
BAR_COUNT = 400
FIRST_DAY = datetime.date(2023, 1, 2)
START_PRICE = 100.0
FILE_NAME = "sample_daily.csv"

# (drift per day, volatility per day) of each regime.
_REGIMES = [(0.004, 0.010), (-0.004, 0.012), (0.0, 0.008), (0.002, 0.015), (-0.002, 0.009)]


def _normal(rng: random.Random) -> float:
    """An approximately standard normal number (sum of twelve uniforms)."""
    return sum(rng.random() for _ in range(12)) - 6.0


def _weekdays(first: datetime.date, count: int) -> list[datetime.date]:
    days: list[datetime.date] = []
    day = first
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += datetime.timedelta(days=1)
    return days


def rows() -> list[tuple[str, float, float, float, float, int]]:
    """The bars as (date, open, high, low, close, volume) tuples."""
    rng = random.Random(SEED)
    close = START_PRICE
    drift, volatility = _REGIMES[0]
    days_left = 0
    bars = []
    for day in _weekdays(FIRST_DAY, BAR_COUNT):
        if days_left == 0:
            drift, volatility = _REGIMES[int(rng.random() * len(_REGIMES))]
            days_left = 15 + int(rng.random() * 30)
        days_left -= 1
        open_ = round(close * (1.0 + 0.002 * _normal(rng)), 2)
        close = round(open_ * (1.0 + drift + volatility * _normal(rng)), 2)
        high = round(max(open_, close) * (1.0 + 0.006 * rng.random()), 2)
        low = round(min(open_, close) * (1.0 - 0.006 * rng.random()), 2)
        volume = int(800_000 + 400_000 * rng.random() + 2_000_000 * abs(close - open_) / open_ * 50)
        bars.append((day.isoformat(), open_, high, low, close, volume))
    return bars


def render() -> str:
    """The CSV text: a header line, then one line per bar, "\\n" line endings."""
    lines = ["date,open,high,low,close,volume"]
    for date, open_, high, low, close, volume in rows():
        lines.append(f"{date},{open_:.2f},{high:.2f},{low:.2f},{close:.2f},{volume}")
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    target = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name(FILE_NAME)
    target.write_text(render(), encoding="ascii", newline="\n")
    print(f"wrote {BAR_COUNT} bars to {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
