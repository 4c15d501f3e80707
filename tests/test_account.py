"""The account against the plain loop written from its definition
(account_reference.py), known answers worked out by hand for each rule, and
properties every run must have."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import account_reference
from quorvane.backtest import backtest, portfolio
from quorvane.stats import bar_returns, curve_figures, drawdown

COLUMNS = ["direction", "entry_date", "entry_price", "exit_date", "exit_price", "bars", "pnl",
           "return", "costs", "exit_reason"]


def bars_of(opens, highs, lows, closes, start="2024-01-01", dates=None):
    index = pd.DatetimeIndex(dates, name="date") if dates is not None else \
        pd.date_range(start, periods=len(closes), freq="D", name="date")
    return pd.DataFrame({"open": opens, "high": highs, "low": lows, "close": closes,
                         "volume": 1.0}, index=index, dtype=float)


def flat(closes, **kw):
    return bars_of(closes, closes, closes, closes, **kw)


def random_bars(rng, n, volatility=0.02, start="2024-01-01", keep=1.0):
    close = 100 * np.exp(np.cumsum(rng.normal(0, volatility, n)))
    open_ = close * np.exp(rng.normal(0, volatility, n))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0, volatility, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0, volatility, n)))
    bars = bars_of(open_, high, low, close, start=start)
    return bars[rng.random(n) < keep] if keep < 1 else bars


def random_targets(rng, n):
    targets = rng.choice([-1, -0.5, 0, 0.3, 1], size=n)
    targets[rng.random(n) < 0.7] = np.nan  # held for a while
    return pd.Series(targets).ffill().fillna(0).to_numpy()


def reference(universe, targets, **options):
    rows = {s: list(zip(b.index, b["open"], b["high"], b["low"], b["close"]))
            for s, b in universe.items()}
    return account_reference.account(rows, {s: list(t) for s, t in targets.items()}, **options)


def assert_same_as_reference(result, expected, symbols):
    np.testing.assert_allclose(result.equity, expected["equity"], rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.cash, expected["cash"], rtol=1e-12, atol=1e-15)
    units = result.units.to_numpy().reshape(len(result.equity), -1)
    np.testing.assert_allclose(units, expected["units"], rtol=1e-12, atol=1e-18)
    fills = result.fills
    want = pd.DataFrame(expected["fills"], columns=["date", "symbol", "at", "reason", "price",
                                                    "units", "cost", "equity"])
    assert fills["date"].tolist() == want["date"].tolist()
    assert fills["at"].tolist() == want["at"].tolist()
    assert fills["reason"].tolist() == want["reason"].tolist()
    for column in ("price", "units", "cost", "equity"):
        np.testing.assert_allclose(fills[column], want[column], rtol=1e-12, atol=1e-18)
    trades = result.trades
    want = pd.DataFrame(expected["trades"], columns=["symbol", *COLUMNS])
    if len(symbols) > 1:
        assert trades["symbol"].tolist() == want["symbol"].tolist()
    for column in ("direction", "entry_date", "bars", "exit_reason"):
        assert trades[column].tolist() == want[column].tolist(), column
    assert trades["exit_date"].tolist() == pd.to_datetime(want["exit_date"]).tolist()
    for column in ("entry_price", "exit_price", "pnl", "return", "costs"):
        np.testing.assert_allclose(trades[column], want[column], rtol=1e-10, atol=1e-13)


OPTIONS = [
    {},
    {"commission": 10, "slippage": 5},
    {"fill": "next-open"},
    {"fill": "next-open", "rebalance": 3, "commission": 20},
    {"rebalance": 1},
    {"stop_loss": 0.03},
    {"take_profit": 0.04, "commission": 10},
    {"trailing_stop": 0.025, "stop_loss": 0.05},
    {"fill": "next-open", "stop_loss": 0.02, "take_profit": 0.04, "trailing_stop": 0.03,
     "commission": 5},
    {"rebalance": 2, "stop_loss": 0.02, "slippage": 30},
]


def named(options):
    return ",".join(f"{key}={value}" for key, value in options.items()) or "plain"


@pytest.mark.parametrize("options", OPTIONS, ids=named)
@pytest.mark.parametrize("seed", range(3))
def test_one_symbol_follows_the_definition(options, seed):
    rng = np.random.default_rng(seed)
    # seed 0: wild enough to wipe out
    bars = random_bars(rng, 250, volatility=0.02 if seed else 0.15)
    targets = random_targets(rng, len(bars))
    result = backtest(bars, targets, **options)
    assert_same_as_reference(result, reference({"X": bars}, {"X": targets}, **options), ["X"])
    # The trades' pnl adds up to the total return, wipe-outs included.
    assert result.trades["pnl"].sum() == pytest.approx(result.stats["total_return"], abs=1e-12)
    assert result.stats["trades"] == len(result.trades)
    assert result.stats["fills"] == len(result.fills)


@pytest.mark.parametrize("options", OPTIONS[:4] + OPTIONS[8:], ids=str)
@pytest.mark.parametrize("seed", range(2))
def test_a_portfolio_is_one_account_over_the_union_of_dates(options, seed):
    rng = np.random.default_rng(10 + seed)
    universe = {"A": random_bars(rng, 120, keep=0.8),
                "B": random_bars(rng, 100, start="2024-01-15", keep=0.9),
                "C": random_bars(rng, 140, volatility=0.05)}
    targets = {s: random_targets(rng, len(b)) for s, b in universe.items()}
    singles = {s: backtest(b, targets[s], **options) for s, b in universe.items()}
    combined = portfolio(singles)
    assert_same_as_reference(combined, reference(universe, targets, **options), list(universe))
    assert len(combined.equity) == len(universe["A"].index.union(universe["B"].index)
                                       .union(universe["C"].index))


@pytest.mark.parametrize("options", [{"commission": 100}, {"fill": "next-open", "commission": 50},
                                     {"stop_loss": 0.5, "fill": "next-open"}], ids=str)
@pytest.mark.parametrize("symbols", [1, 3])
def test_wipe_outs_follow_the_definition(options, symbols):
    # Shorts through prices that move 35% a bar: marks below zero, at closes and opens.
    rng = np.random.default_rng(126 + symbols)
    universe = {f"S{i}": random_bars(rng, 60, volatility=0.35) for i in range(symbols)}
    targets = {s: -np.abs(random_targets(rng, len(b))) for s, b in universe.items()}
    results = {s: backtest(b, targets[s], **options) for s, b in universe.items()}
    result = results["S0"] if symbols == 1 else portfolio(results)
    assert result.stats["total_return"] == -1 and "wipe_out" in set(result.trades["exit_reason"])
    assert_same_as_reference(result, reference(universe, targets, **options), list(universe))
    assert result.trades["pnl"].sum() == pytest.approx(-1, abs=1e-12)


# -- known answers, worked out by hand -------------------------------------------------

def test_holding_a_short_until_the_signal_changes():
    # Short 1 at 100 (0.01 units, cash 2); the price falls to 80 and rises to 90;
    # flat at 90: equity 2 - 0.9 = 1.1.  Re-sized at every close it would
    # have made 1.2 * (1 - 0.125) = 1.05.
    held = backtest(flat([100, 80, 90, 90]), [-1, -1, 0, 0])
    np.testing.assert_allclose(held.equity, [1.0, 1.2, 1.1, 1.1])
    np.testing.assert_allclose(held.cash, [2.0, 2.0, 1.1, 1.1])
    resized = backtest(flat([100, 80, 90, 90]), [-1, -1, 0, 0], rebalance=1)
    np.testing.assert_allclose(resized.equity, [1.0, 1.2, 1.05, 1.05])


def test_a_flip_pays_each_leg_its_own_cost():
    # 100 bps.  Long at 100: 0.01 units cost 0.01.  At 110 equity is 1.09; the flip
    # to -1 sells 0.01 + 1.09/110 units: legs cost 0.011 and 0.0109.
    result = backtest(flat([100, 110, 99]), [1, -1, -1], commission=100)
    long, short = result.trades.itertuples(index=False)
    assert long.costs == pytest.approx(0.01 + 0.011)
    assert long.pnl == pytest.approx(0.1 - 0.021)
    assert short.costs == pytest.approx(0.0109)
    assert short.pnl == pytest.approx(1.09 / 110 * 11 - 0.0109)
    assert result.stats["costs"] == pytest.approx(0.01 + 0.011 + 0.0109)
    assert result.stats["total_return"] == pytest.approx(long.pnl + short.pnl)


def test_next_open_fills_at_the_following_bars_open():
    bars = bars_of([10, 20, 25, 30], [10, 20, 25, 30], [10, 20, 25, 30], [10, 22, 24, 33])
    result = backtest(bars, [1, 1, 0, 1], fill="next-open")
    # Bought at 20 (0.05 units), sold at 30; the last target is never filled.
    assert result.fills["price"].tolist() == [20, 30]
    np.testing.assert_allclose(result.equity, [1, 1.1, 1.2, 1.5])
    assert result.trades["bars"].tolist() == [2]


def test_a_gap_through_the_stop_exits_at_the_open_and_the_symbol_waits():
    # Long at 100 with a 5% stop (95); the next bar opens at 90: out at 90.
    # The target stays 1: flat until it changes (0, then 1 again at 80).
    bars = bars_of([100, 90, 85, 85, 80], [100, 92, 88, 85, 80], [100, 88, 84, 85, 80],
                   [100, 91, 86, 85, 80])
    result = backtest(bars, [1, 1, 1, 0, 1], stop_loss=0.05)
    trade = result.trades.iloc[0]
    assert (trade.exit_price, trade.exit_reason, trade.bars) == (90, "stop_loss", 1)
    np.testing.assert_allclose(result.equity, [1, 0.9, 0.9, 0.9, 0.9])
    assert result.units.tolist()[:4] == [0.01, 0, 0, 0] and result.units.iloc[4] > 0
    assert result.fills["at"].tolist() == ["close", "open", "close"]


# Long from the close of bar 0 at 100; bar 2's range decides.
WITHIN = bars_of([100, 101, 100, 100], [100, 102, 109, 100], [100, 100, 94, 100],
                 [100, 105, 98, 100])
# Bar 1's high of 110 lifts the trailing level to 99, under bar 2's low of 97.
TRAILED = bars_of([100, 101, 100, 100], [100, 110, 109, 100], [100, 100, 97, 100],
                  [100, 105, 98, 100])


@pytest.mark.parametrize("bars, options, exit_price, reason", [
    (WITHIN, {"stop_loss": 0.05}, 95, "stop_loss"),            # the low 94 reaches 95
    (WITHIN, {"take_profit": 0.08}, 108, "take_profit"),       # the high 109 reaches 108
    (WITHIN, {"stop_loss": 0.05, "take_profit": 0.08}, 95, "stop_loss"),  # both: the stop first
    (TRAILED, {"trailing_stop": 0.1}, 99, "trailing_stop"),
])
def test_levels_reached_within_a_bar_exit_at_the_level(bars, options, exit_price, reason):
    result = backtest(bars, [1, 1, 1, 1], **options)
    trade = result.trades.iloc[0]
    assert (trade.exit_price, trade.exit_reason) == (pytest.approx(exit_price), reason)
    assert trade.exit_date == bars.index[2]
    assert result.equity.iloc[-1] == pytest.approx(exit_price / 100)


def test_a_short_is_wiped_out_and_stays_at_zero():
    # Short 1 at 100: cash 2, 0.01 units owed.  At 250 the mark is 2 - 2.5 < 0.
    result = backtest(flat([100, 150, 250, 100]), [-1, -1, -1, -1])
    np.testing.assert_allclose(result.equity, [1, 0.5, 0, 0])
    assert result.stats["total_return"] == -1 and result.stats["cagr"] == -1
    trade = result.trades.iloc[0]
    assert (trade.exit_reason, trade.exit_price, trade.pnl) == ("wipe_out", 250, -1)
    np.testing.assert_allclose(result.returns, [0, -0.5, -1, 0])
    assert result.stats["fills"] == 1  # the wipe-out is not a fill


def test_two_symbols_share_one_equity():
    # Each target 1 buys half of the equity: A doubles, B halves: 1.25.
    a = backtest(flat([10, 20]), [1, 1])
    b = backtest(flat([10, 5]), [1, 1])
    combined = portfolio({"A": a, "B": b})
    np.testing.assert_allclose(combined.equity, [1, 1.25])
    np.testing.assert_allclose(combined.units.to_numpy(), [[0.05, 0.05], [0.05, 0.05]])
    np.testing.assert_allclose(combined.weights.iloc[1], [0.8, 0.2])
    assert combined.stats["buy_and_hold_return"] == pytest.approx(0.25)
    assert combined.per_symbol["A"].stats["total_return"] == pytest.approx(1.0)


def test_rebalancing_every_bar_without_costs_is_the_compounded_formula():
    rng = np.random.default_rng(5)
    closes = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, 300)))
    positions = random_targets(rng, 300)
    result = backtest(flat(closes), positions, rebalance=1)
    growth = np.concatenate(([1.0], 1 + positions[:-1] * (closes[1:] / closes[:-1] - 1)))
    np.testing.assert_allclose(result.equity, np.cumprod(growth), rtol=1e-12)


def test_statistics_against_plain_formulas():
    rng = np.random.default_rng(8)
    bars = random_bars(rng, 400)
    result = backtest(bars, random_targets(rng, 400), commission=3, stop_loss=0.03,
                      bars_per_year=252)
    by_hand = account_reference.statistics_by_hand(result.equity.tolist(), 252)
    assert {name: result.stats[name] for name in by_hand} == pytest.approx(by_hand, rel=1e-12)
    units = result.units.to_numpy()
    assert result.stats["exposure"] == np.mean(units != 0)
    assert result.trades["bars"].sum() == np.count_nonzero(units)
    fills = result.fills
    assert result.stats["turnover"] == pytest.approx(
        sum(abs(f.units) * f.price / f.equity for f in fills.itertuples()))
    trades = result.trades
    pnl = trades["pnl"]
    assert result.stats["win_rate"] == pytest.approx((pnl > 0).mean())
    assert result.stats["profit_factor"] == pytest.approx(pnl[pnl > 0].sum() / -pnl[pnl < 0].sum())
    assert result.stats["avg_trade_return"] == pytest.approx(trades["return"].mean())
    assert result.stats["worst_trade_return"] == trades["return"].min()
    assert result.stats["avg_trade_bars"] == pytest.approx(trades["bars"].mean())
    assert result.stats["costs"] == pytest.approx(fills["cost"].sum())


def test_beta_alpha_and_correlation_against_a_benchmark():
    rng = np.random.default_rng(9)
    bars = random_bars(rng, 300)
    result = backtest(bars, np.ones(300), rebalance=1, bars_per_year=252)
    # Always fully long and re-sized: the returns are the symbol's, beta 1 to itself.
    assert result.stats["beta"] == pytest.approx(1.0)
    assert result.stats["correlation"] == pytest.approx(1.0)
    assert result.stats["alpha"] == pytest.approx(0.0, abs=1e-12)
    # Against another series, carried forward over the dates it lacks.
    other = bars["close"].iloc[::2] * 3
    against = backtest(bars, np.ones(300), rebalance=1, bars_per_year=252, benchmark=other)
    b = other.reindex(bars.index).ffill().pct_change().fillna(0).to_numpy()
    r = result.returns.to_numpy()
    beta = np.cov(r, b)[0, 1] / np.var(b, ddof=1)
    assert against.stats["beta"] == pytest.approx(beta, rel=1e-10)
    assert against.stats["alpha"] == pytest.approx((r.mean() - beta * b.mean()) * 252, rel=1e-10)
    assert against.stats["correlation"] == pytest.approx(np.corrcoef(r, b)[0, 1], rel=1e-10)
    flat_benchmark = backtest(bars, np.ones(300), benchmark=pd.Series(1.0, index=bars.index))
    assert flat_benchmark.stats["beta"] is None and flat_benchmark.stats["alpha"] is None


@pytest.mark.parametrize("seed", range(3))
def test_the_figures_pass_sums_what_the_per_bar_arrays_hold(seed):
    rng = np.random.default_rng(seed)
    equity = np.cumprod(1 + rng.normal(0.0005, 0.01, 5000))
    if seed == 2:
        equity[4000:] = 0.0  # wiped out
    benchmark = 50 * np.cumprod(1 + rng.normal(0, 0.02, 5000))
    benchmark[:seed * 10] = np.nan  # a benchmark that starts later
    figures = curve_figures(equity, benchmark)
    r = bar_returns(equity)
    b = bar_returns(benchmark, start=benchmark[0])
    b[np.isnan(b)] = 0.0
    under = drawdown(equity) < 0
    longest = run = 0
    for flag in under:
        run = run + 1 if flag else 0
        longest = max(longest, run)
    assert figures.mean_r == pytest.approx(r.mean(), rel=1e-12)
    assert figures.mean_b == pytest.approx(b.mean(), rel=1e-12)
    assert figures.squares_r == pytest.approx(np.sum((r - r.mean()) ** 2), rel=1e-10)
    assert figures.squares_b == pytest.approx(np.sum((b - b.mean()) ** 2), rel=1e-10)
    assert figures.cross == pytest.approx(np.sum((r - r.mean()) * (b - b.mean())), rel=1e-9)
    assert figures.downside == pytest.approx(np.sum(np.minimum(r, 0) ** 2), rel=1e-12)
    assert (figures.r_varies, figures.b_varies) == (r.min() < r.max(), b.min() < b.max())
    assert figures.drawdown == drawdown(equity).min() and figures.longest == longest
