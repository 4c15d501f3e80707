"""The backtest against a plain loop over its formula, statistics checked by
hand on tiny series, the portfolio, the checks of positions and costs, the
shipped sample and the example user strategy."""

import math
import runpy
from fractions import Fraction
from importlib.resources import files
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvane.backtest import backtest, check_positions, portfolio, run_strategy
from quorvane.data import load_data, make_sample

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "user_strategies" / "my_strategy.py"


def frame(closes, start="2024-01-01", freq="D"):
    closes = np.asarray(closes, dtype=float)
    index = pd.date_range(start, periods=closes.size, freq=freq, name="date")
    return pd.DataFrame({"open": closes, "high": closes, "low": closes, "close": closes,
                         "volume": 1.0}, index=index)


def test_statistics_by_hand_without_costs():
    # +10%, -10%, 0%, +10% between the closes; long, short, flat, long, long.
    # Held until the target changes: 0.01 units long, 0.01 short (1.1 at 110),
    # then 1.21 / 99 long.
    result = backtest(frame([100, 110, 99, 99, 108.9]), [1, -1, 0, 1, 1], bars_per_year=252)
    np.testing.assert_allclose(result.equity, [1.0, 1.1, 1.21, 1.21, 1.331])
    sd = math.sqrt(0.003)  # returns 0, .1, .1, 0, .1: mean .06
    closes = np.array([100, 110, 99, 99, 108.9])
    r, b = np.array([0, .1, .1, 0, .1]), np.append(0, closes[1:] / closes[:-1] - 1)
    beta = np.cov(r, b)[0, 1] / np.var(b, ddof=1)
    expected = {
        "total_return": 0.331, "cagr": 1.331 ** (252 / 5) - 1, "volatility": sd * math.sqrt(252),
        "sharpe": 0.06 / sd * math.sqrt(252), "sortino": None, "calmar": None,
        "max_drawdown": 0.0, "max_drawdown_bars": 0, "exposure": 0.8, "trades": 3, "fills": 4,
        # long +10% (closed by the flip), short +10%, long +10% (open at the end)
        "win_rate": 1.0, "profit_factor": None, "avg_trade_return": 0.1,
        "best_trade_return": 0.1, "worst_trade_return": 0.1, "avg_trade_bars": 4 / 3,
        "buy_and_hold_return": 0.089, "beta": beta, "alpha": (0.06 - beta * b.mean()) * 252,
        "correlation": np.corrcoef(r, b)[0, 1],
        # value traded / equity: 1, 2 (the flip), 0.99 / 1.21, 1
        "turnover": 4 + 0.99 / 1.21, "costs": 0.0, "bars_per_year": 252,
    }
    assert result.stats == pytest.approx(expected)
    assert list(result.stats) == list(expected)
    assert all(type(v) in (float, int) or v is None for v in result.stats.values())
    trades = result.trades
    assert trades["direction"].tolist() == ["long", "short", "long"]
    assert trades["bars"].tolist() == [1, 1, 2]
    assert trades["exit_date"].isna().tolist() == [False, False, True]
    assert trades["pnl"].tolist() == pytest.approx([0.1, 0.11, 0.121])


def test_statistics_by_hand_with_costs_and_a_drawdown():
    # 10 bps: 0.01 units bought for 1 plus 0.001; marked 1.199, 0.899; sold at 135
    # for 1.35 less 0.00135.
    result = backtest(frame([100, 120, 90, 135, 100]), [1, 1, 1, 0, 0], commission=10,
                      bars_per_year=252)
    final = 1.35 - 0.001 - 0.00135
    np.testing.assert_allclose(result.equity, [0.999, 1.199, 0.899, final, final])
    stats = result.stats
    assert stats["max_drawdown"] == pytest.approx(1 - 0.899 / 1.199)
    assert stats["max_drawdown_bars"] == 1  # bar 0 (below the starting 1) and bar 2
    assert stats["costs"] == pytest.approx(0.001 + 0.00135)
    assert stats["trades"] == 1 and stats["fills"] == 2 and stats["exposure"] == 0.6
    assert stats["turnover"] == pytest.approx(1 + 1.35 / (1.35 - 0.001))
    # The trade pays both its entry and its exit; its return is over the 1 it bought.
    assert stats["avg_trade_return"] == pytest.approx(final - 1)
    assert stats["calmar"] == pytest.approx(stats["cagr"] / stats["max_drawdown"])


def test_portfolio_is_one_account_over_the_union_of_the_dates():
    a = backtest(frame([100, 110, 121, 121]), [1, 1, 1, 1])
    b = backtest(frame([50, 40, 40], start="2024-01-02"), [-1, 0, 0])
    combined = portfolio({"A": a, "B": b})
    # 01-01: A buys half of 1 (0.005 units).  01-02: equity 1.05, B shorts half
    # of it (0.0105 units at 50).  01-03: A +10%, B covered at 40: 1.21.  01-04:
    # only A, unchanged.
    np.testing.assert_allclose(combined.equity, [1, 1.05, 1.21, 1.21])
    np.testing.assert_allclose(combined.returns, [0, 0.05, 1.21 / 1.05 - 1, 0])
    np.testing.assert_allclose(combined.units.to_numpy(),
                               [[0.005, 0], [0.005, -0.0105], [0.005, 0], [0.005, 0]])
    assert combined.stats["trades"] == 2 and combined.stats["exposure"] == 1.0
    assert combined.trades["symbol"].tolist() == ["A", "B"]
    # Equal-weight buy-and-hold, not rebalanced: B counts 1 before its first bar.
    np.testing.assert_allclose(combined.buy_and_hold, [1, 1.05, 1.005, 1.005])
    assert sorted(combined.per_symbol) == ["A", "B"]


@pytest.mark.parametrize("positions", [
    [1.0, Fraction(-1), 0], np.array([1, -1, 0]), pd.Series([0.5, -0.25, 0.0]),
    (np.int64(1), np.float32(-1), 0),
])
def test_positions_in_range_are_accepted_in_any_container(positions):
    values = check_positions(positions, frame([1, 2, 3]))
    assert values.dtype == np.float64 and values.shape == (3,)


@pytest.mark.parametrize("positions, error, message", [
    ([1, 1.5, 0], ValueError, r"row 2 \(2024-01-02 00:00:00\) is 1.5"),
    ([True, 0, 0], ValueError, "row 1 .* is True"),
    (np.array([True, False, True]), ValueError, "positions holds booleans"),
    ([float("nan"), 0, 0], ValueError, "row 1 .* is NaN"),
    (np.array([0, 0, np.inf]), ValueError, "row 3 .* is inf"),
    (["1", 0, 0], ValueError, "row 1 .* is '1'"),
    ([1, 0], ValueError, "positions holds 2 values for 3 bars"),
    (np.zeros((3, 1)), ValueError, "shape"),
    (None, TypeError, "got NoneType"),
    (pd.Series([0, 0, 0], index=pd.date_range("2020-01-01", periods=3)), ValueError,
     "not the bars' dates"),
])
def test_unusable_positions_are_refused_naming_the_row(positions, error, message):
    with pytest.raises(error, match=message):
        backtest(frame([1, 2, 3]), positions)


def test_bars_are_checked_and_normalised_as_files_are():
    raw = frame([100, 110, 121]).reset_index().rename(columns=str.capitalize)
    assert backtest(raw, [1, 1, 1]).stats["total_return"] == pytest.approx(0.21)
    # Falling dates would run the account backwards: refused, naming the row.
    with pytest.raises(ValueError, match=r"bars, row 2: date .* comes before the date of row 1"):
        backtest(frame([100, 110, 121]).iloc[::-1], [1, 1, 1])


def test_symbols_of_different_spacing_are_refused_as_one_portfolio():
    daily = backtest(frame([1, 2, 3]), [1, 1, 1])
    hourly = backtest(frame([1, 2, 3], freq="h"), [1, 1, 1])
    with pytest.raises(ValueError, match="^D has .* and H .*one bar spacing"):
        portfolio({"D": daily, "H": hourly})


def test_a_strategys_positions_are_named_as_what_generate_signals_returned():
    class Short:
        def generate_signals(self, bars):
            return [1, 0]

    with pytest.raises(ValueError, match="^generate_signals returned 2 positions for 3 bars; "
                                         "it must return one target position per bar$"):
        run_strategy(Short(), frame([1, 2, 3]))


@pytest.mark.parametrize("options, message", [
    ({"fill": "tomorrow"}, "fill must be 'close' or 'next-open'"),
    ({"rebalance": -1}, "rebalance must be a whole number"),
    ({"rebalance": 2.5}, "rebalance must be a whole number"),
    ({"stop_loss": 0}, "stop_loss must be a positive fraction"),
    ({"trailing_stop": float("inf")}, "trailing_stop must be a positive fraction"),
    ({"take_profit": "5%"}, "take_profit must be a positive fraction"),
    ({"bars_per_year": 0}, "bars_per_year must be a whole number >= 1"),
])
def test_unusable_account_options_are_refused_before_the_strategy_runs(options, message):
    class Exploding:
        def generate_signals(self, bars):
            raise AssertionError("ran")

    with pytest.raises(ValueError, match=message):
        run_strategy(Exploding(), frame([1, 2]), **options)


@pytest.mark.parametrize("costs, message", [
    ({"commission": -1}, "commission must be a number of basis points >= 0"),
    ({"slippage": float("nan")}, "slippage must be"),
    ({"commission": 4000, "slippage": 1001}, "5001 basis points"),
])
def test_unusable_costs_are_refused_before_the_strategy_runs(costs, message):
    class Exploding:
        def generate_signals(self, bars):
            raise AssertionError("ran")

    with pytest.raises(ValueError, match=message):
        run_strategy(Exploding(), frame([1, 2]), **costs)



def test_a_strategy_that_writes_to_its_bars_changes_neither_the_backtest_nor_the_next_run():
    class Vandal:
        def generate_signals(self, bars):
            bars["close"] *= 100.0
            bars.loc[:, "volume"] = 0.0
            return np.ones(len(bars))

    bars = frame([10.0, 11.0, 12.1])
    before = bars.copy()
    first = run_strategy(Vandal(), bars)
    pd.testing.assert_frame_equal(bars, before)
    assert first.stats["total_return"] == pytest.approx(0.21)  # prices as given, not as written
    assert run_strategy(Vandal(), bars).stats == first.stats


# -- the shipped sample ------------------------------------------------------

def test_shipped_sample_is_what_the_committed_script_writes():
    shipped = files("quorvane.data").joinpath("sample_daily.csv").read_text(encoding="ascii")
    assert shipped == make_sample.render()


def test_sample_bars_are_consistent_weekday_bars():
    (bars,) = load_data(None).values()
    assert len(bars) == make_sample.BAR_COUNT >= 250
    assert (bars.index.day_of_week < 5).all()
    assert (bars["low"] <= bars[["open", "close"]].min(axis=1)).all()
    assert (bars[["open", "close"]].max(axis=1) <= bars["high"]).all()


# -- the example user strategy -------------------------------------------------

@pytest.fixture(scope="module")
def breakout():
    # run_path keeps the file out of sys.modules, unlike the loader.
    return runpy.run_path(str(EXAMPLE))["BreakoutStrategy"]


def test_example_strategy_known_answer(breakout):
    bars = frame([9, 10, 11.5, 10, 8, 8.5])
    bars["high"] = [10, 11, 12, 11, 9, 9]
    bars["low"] = [8, 9, 10, 9, 7, 7]
    strategy = breakout(symbols=["OGDC"], lookback=2)
    # bar 2 closes above the two previous highs, bar 4 below the two previous lows
    assert list(strategy.generate_signals(bars)) == [0, 0, 1, 1, -1, -1]
    assert strategy.symbols == ["OGDC"] and strategy.params == {"lookback": 2}


@pytest.mark.parametrize("lookback", [0, True, 2.5, "3"])
def test_example_strategy_refuses_bad_lookback(breakout, lookback):
    with pytest.raises(ValueError, match="lookback must be an integer >= 1"):
        breakout(lookback=lookback)
