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


def reference(closes, positions, commission, slippage):
    """The definition, one bar at a time: (equity, costs paid)."""
    k = (commission + slippage) / 10_000
    equity, paid, value, held = [], 0.0, 1.0, 0.0
    for t, (close, position) in enumerate(zip(closes, positions)):
        growth = 1.0 if t == 0 else 1.0 + held * (close / closes[t - 1] - 1.0)
        grown = max(0.0, value * growth)
        cost = grown * k * abs(position - held)
        paid += cost
        value = max(0.0, grown - cost)
        equity.append(value)
        held = position
    return equity, paid


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("commission, slippage", [(0, 0), (5, 3), (400, 100)])
def test_equity_and_costs_follow_the_definition(seed, commission, slippage):
    rng = np.random.default_rng(seed)
    closes = 50 * np.exp(np.cumsum(rng.normal(0, 0.3 if seed == 3 else 0.02, 300)))
    positions = rng.choice([-1, -0.5, 0, 0.25, 1], size=300)
    positions[rng.random(300) < 0.6] = np.nan
    positions = pd.Series(positions).ffill().fillna(0).to_numpy()
    result = backtest(frame(closes), positions, commission=commission, slippage=slippage)
    equity, paid = reference(list(closes), list(positions), commission, slippage)
    np.testing.assert_allclose(result.equity.to_numpy(), equity, rtol=1e-12, atol=1e-300)
    assert result.stats["costs"] == pytest.approx(paid, rel=1e-12, abs=1e-300)
    assert result.stats["total_return"] == pytest.approx(equity[-1] - 1, rel=1e-12, abs=1e-300)
    assert result.stats["turnover"] == pytest.approx(np.abs(np.diff(positions, prepend=0)).sum())
    if seed == 3:  # volatile enough for a short to be wiped out: zero stays zero
        assert equity[-1] == 0 and result.stats["total_return"] == -1


def test_statistics_by_hand_without_costs():
    # +10%, -10%, 0%, +10% between the closes; long, short, flat, long, long.
    result = backtest(frame([100, 110, 99, 99, 108.9]), [1, -1, 0, 1, 1], bars_per_year=252)
    np.testing.assert_allclose(result.equity, [1.0, 1.1, 1.21, 1.21, 1.331])
    sd = math.sqrt(0.003)  # returns 0, .1, .1, 0, .1: mean .06
    expected = {
        "total_return": 0.331, "cagr": 1.331 ** (252 / 5) - 1, "volatility": sd * math.sqrt(252),
        "sharpe": 0.06 / sd * math.sqrt(252), "sortino": None, "calmar": None,
        "max_drawdown": 0.0, "max_drawdown_bars": 0, "exposure": 0.8, "trades": 4,
        # long +10% (closed by the flip), short +10%, long +10% (open at the end)
        "win_rate": 1.0, "profit_factor": None, "avg_trade_return": 0.1,
        "best_trade_return": 0.1, "worst_trade_return": 0.1,
        "buy_and_hold_return": 0.089, "turnover": 5.0, "costs": 0.0, "bars_per_year": 252,
    }
    assert result.stats == pytest.approx(expected)
    assert list(result.stats) == list(expected)
    assert all(type(v) in (float, int) or v is None for v in result.stats.values())
    trades = result.trades
    assert trades["position"].tolist() == [1, -1, 1]
    assert trades["bars"].tolist() == [1, 1, 1]
    assert trades["exit_date"].isna().tolist() == [False, False, True]


def test_statistics_by_hand_with_costs_and_a_drawdown():
    # 10 bps: 0.999 after entering; 1.1988; 0.8991 (25% below the high); x1.5 and exit.
    result = backtest(frame([100, 120, 90, 135, 100]), [1, 1, 1, 0, 0], commission=10,
                      bars_per_year=252)
    final = 0.8991 * 1.5 * 0.999
    np.testing.assert_allclose(result.equity, [0.999, 1.1988, 0.8991, final, final])
    stats = result.stats
    assert stats["max_drawdown"] == pytest.approx(0.25)
    assert stats["max_drawdown_bars"] == 1  # bar 0 (below the starting 1) and bar 2
    assert stats["costs"] == pytest.approx(0.001 + 0.8991 * 1.5 * 0.001)
    assert stats["trades"] == 2 and stats["turnover"] == 2.0 and stats["exposure"] == 0.6
    # The trade pays both its entry and its exit.
    assert stats["avg_trade_return"] == pytest.approx(0.999 * 1.35 * 0.999 - 1)
    assert stats["calmar"] == pytest.approx(stats["cagr"] / 0.25)


def test_a_flip_splits_its_cost_between_the_two_trades():
    result = backtest(frame([100, 110, 99]), [1, -1, -1], commission=100)
    # 1% of 2 units at the flip: 1% to the long it closes, 1% to the short it opens.
    assert result.trade_returns == pytest.approx([0.99 * 1.1 * 0.99 - 1, 0.99 * 1.1 - 1])
    assert result.stats["costs"] == pytest.approx(0.01 + 0.99 * 1.1 * 0.02)


def test_portfolio_averages_returns_over_the_symbols_of_each_date():
    a = backtest(frame([100, 110, 121, 121]), [1, 1, 1, 1])
    b = backtest(frame([50, 40, 40], start="2024-01-02"), [-1, 0, 0])
    combined = portfolio({"A": a, "B": b})
    # 01-01: A only (0); 01-02: A +10%, B enters (0); 01-03: A +10%, B short -20% -> +20%;
    # 01-04: A 0%.
    np.testing.assert_allclose(combined.returns, [0, 0.05, 0.15, 0])
    np.testing.assert_allclose(combined.equity, [1, 1.05, 1.2075, 1.2075])
    assert combined.stats["trades"] == 3 and combined.stats["exposure"] == 1.0
    # equal weight, rebalanced: A +10%, B -20% on 01-03 -> -5%
    assert combined.stats["buy_and_hold_return"] == pytest.approx(1.05 * 0.95 * 1.0 - 1)
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
    (np.array([True, False, True]), ValueError, "returned booleans"),
    ([float("nan"), 0, 0], ValueError, "row 1 .* is NaN"),
    (np.array([0, 0, np.inf]), ValueError, "row 3 .* is inf"),
    (["1", 0, 0], ValueError, "row 1 .* is '1'"),
    ([1, 0], ValueError, "returned 2 positions for 3 bars"),
    (np.zeros((3, 1)), ValueError, "shape"),
    (None, TypeError, "got NoneType"),
    (pd.Series([0, 0, 0], index=pd.date_range("2020-01-01", periods=3)), ValueError,
     "not the bars' dates"),
])
def test_unusable_positions_are_refused_naming_the_row(positions, error, message):
    with pytest.raises(error, match=message):
        backtest(frame([1, 2, 3]), positions)


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
