"""The long/short backtest, the shipped sample bars and the example user
strategy, on hand-checked numbers."""

import datetime
import runpy
from fractions import Fraction
from importlib.resources import files
from pathlib import Path

import pytest

from quorvane.backtest import Change, backtest, check_signals, position_changes
from quorvane.bars import Bar, as_bars
from quorvane.data import make_sample

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "user_strategies" / "my_strategy.py"


def test_positions_earn_the_next_close_to_close_return_compounded():
    # +10%, -10%, 0%, +10% between the closes; long, short, flat, long.
    result = backtest([100, 110, 99, 99, 108.9], [1, -1, 0, 1, 1])
    assert result.equity == pytest.approx([1.0, 1.1, 1.21, 1.21, 1.331])
    assert result.total_return == pytest.approx(0.331)
    assert result.max_drawdown == 0.0
    assert (result.long_bars, result.flat_bars, result.short_bars) == (3, 1, 1)
    # flat->long, long->short, short->flat, flat->long; the last bar's hold is no trade.
    assert result.trades == 4


def test_max_drawdown_is_the_largest_fall_from_a_high():
    result = backtest([100, 120, 90, 135, 100], [1, 1, 1, 0, 0])
    assert result.equity == pytest.approx([1.0, 1.2, 0.9, 1.35, 1.35])
    assert result.max_drawdown == pytest.approx(0.25)
    assert result.total_return == pytest.approx(0.35)
    assert result.trades == 2


@pytest.mark.parametrize("closes, signals", [
    ([10, 25, 5, 2], [-1, -1, -1, 0]),  # short through a 150% rise
    ([10, 20, 5], [-1, -1, 0]),          # short through exactly a doubling
])
def test_an_account_wiped_out_stays_at_zero(closes, signals):
    # Compounding on a negative equity would turn the later fall into a gain.
    result = backtest(closes, signals)
    assert result.equity[1:] == [0.0] * (len(closes) - 1)
    assert result.total_return == -1.0
    assert result.max_drawdown == 1.0


def test_single_bar_and_all_flat():
    assert backtest([50.0], [1]).equity == [1.0]
    assert backtest([50.0], [1]).trades == 1
    flat = backtest([1, 2, 3], [0, 0, 0])
    assert (flat.total_return, flat.max_drawdown, flat.trades) == (0.0, 0.0, 0)


def test_position_changes_mark_entries_exits_and_flips():
    assert position_changes([0, 1, 1, -1, 0, 0, 1]) == [
        Change(1, 0, 1), Change(3, 1, -1), Change(4, -1, 0), Change(6, 0, 1)]
    assert position_changes([-1]) == [Change(0, 0, -1)]


def test_signals_equal_to_plus_minus_one_or_zero_are_accepted_as_ints():
    assert check_signals([1.0, Fraction(-1), 0], 3) == [1, -1, 0]
    assert all(type(p) is int for p in check_signals([1.0, -1.0, 0.0], 3))


@pytest.mark.parametrize("signals, message", [
    ([1, 0.5], "signal 1 is 0.5"),
    ([True, 0], "signal 0 is True"),
    ([2, 0], "signal 0 is 2"),
    ([float("nan"), 0], "signal 0 is nan"),
    (["1", 0], "signal 0 is '1'"),
    ([1], "returned 1 signals for 2 bars"),
    ([1, 0, 0], "returned 3 signals for 2 bars"),
])
def test_unusable_signals_are_refused(signals, message):
    with pytest.raises(ValueError, match=message):
        backtest([1.0, 2.0], signals)


def test_signals_that_are_no_sequence_are_refused():
    with pytest.raises(TypeError, match="got NoneType"):
        backtest([1.0], None)


@pytest.mark.parametrize("bad", [0, -5, float("nan"), float("inf")])
def test_closes_must_be_positive_and_finite(bad):
    with pytest.raises(ValueError, match="bar 1: close must be a positive number"):
        backtest([10.0, bad, 10.0], [0, 0, 0])


# -- the shipped sample ------------------------------------------------------

def test_shipped_sample_is_what_the_committed_script_writes():
    shipped = files("quorvane.data").joinpath("sample_daily.csv").read_text(encoding="ascii")
    assert shipped == make_sample.render()


def test_sample_bars_are_consistent_daily_bars():
    bars = as_bars(make_sample.rows())
    assert len(bars) == make_sample.BAR_COUNT >= 250
    dates = [datetime.date.fromisoformat(bar.date) for bar in bars]
    assert all(a < b for a, b in zip(dates, dates[1:]))
    assert all(day.weekday() < 5 for day in dates)
    for bar in bars:
        assert bar.low <= min(bar.open, bar.close) <= max(bar.open, bar.close) <= bar.high
        assert bar.low > 0 and bar.volume > 0


# -- the example user strategy -------------------------------------------------

@pytest.fixture(scope="module")
def breakout():
    # run_path keeps the file out of sys.modules, unlike the loader.
    return runpy.run_path(str(EXAMPLE))["BreakoutStrategy"]


def test_example_strategy_known_answer(breakout):
    hlc = [(10, 8, 9), (11, 9, 10), (12, 10, 11.5), (11, 9, 10), (9, 7, 8), (9, 7, 8.5)]
    bars = [Bar(i, c, h, l, c, 1.0) for i, (h, l, c) in enumerate(hlc)]
    strategy = breakout(symbols=["OGDC"], lookback=2)
    # bar 2 closes above the two previous highs, bar 4 below the two previous lows
    assert strategy.generate_signals(bars) == [0, 0, 1, 1, -1, -1]
    assert strategy.symbols == ["OGDC"] and strategy.params == {"lookback": 2}


@pytest.mark.parametrize("lookback", [0, True, 2.5, "3"])
def test_example_strategy_refuses_bad_lookback(breakout, lookback):
    with pytest.raises(ValueError, match="lookback must be an integer >= 1"):
        breakout(lookback=lookback)
