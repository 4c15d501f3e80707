"""Walk-forward parts: the windows cut from the dates, and a plain loop over
the written rules (windows, choice, stitching with switching costs) against
the vectorised functions."""

import math
import statistics

import numpy as np
import pandas as pd
import pytest

from quorvane.walkforward import (CalendarLength, Fold, boundary_closes, choose, fold_scores,
                                  make_folds, parse_length, stitch)

B = 252

# Sweeps fork their workers after the data reader started its thread.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")


# -- lengths and windows ---------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("500", 500), (500, 500), (" 90d ", CalendarLength(90, "d")), ("6M", CalendarLength(6, "m")),
    ("2y", CalendarLength(2, "y")), ("0", "at least 1 bar"), ("0d", "at least 1 day"),
    ("5x", "not a length"), ("1.5y", "not a length"), ("-3", "not a length"), (True, "not a"),
])
def test_lengths(text, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=f"the train length .*{expected}"):
            parse_length(text, "train")
    else:
        assert parse_length(text, "train") == expected


def days(start, end):
    return pd.date_range(start, end, freq="D")


@pytest.mark.parametrize("anchored", [False, True])
def test_folds_of_bar_lengths_with_a_short_last_window(anchored):
    folds = make_folds(pd.bdate_range("2020-01-01", periods=30), 10, 7, anchored=anchored)
    assert folds == [Fold(0 if anchored else start - 10, start, start, min(start + 7, 30))
                     for start in (10, 17, 24)]
    assert boundary_closes(folds).tolist() == [9, 16, 23]


def test_calendar_test_windows_keep_month_ends_and_skip_gaps():
    dates = days("2019-12-31", "2020-06-30")
    dates = dates[(dates < "2020-03-31") | (dates > "2020-05-10")]  # no bar in April
    folds = make_folds(dates, parse_length("1m"), parse_length("1m"), anchored=True)
    starts = [dates[fold.test_start] for fold in folds]
    # 01-31 plus one, two, ... months: 02-29, 03-31 (not 03-29), 04-30 (no bar
    # from 03-31 to 04-29: no fold), 05-31, 06-30.
    assert starts == [pd.Timestamp(day) for day in
                      ("2020-01-31", "2020-02-29", "2020-05-11", "2020-05-31", "2020-06-30")]
    assert dates[folds[1].test_end - 1] == pd.Timestamp("2020-03-30")
    assert all(fold.train_start == 0 for fold in folds)


@pytest.mark.parametrize("train, message", [
    (30, "the data has 30 bars: a train length of 30 bars leaves no bar to test; "
         "a walk-forward needs more than 30 bars"),
    ("2m", "the data runs from 2020-01-01 to 2020-01-30: a train length of 2m leaves no bar to "
           "test; a walk-forward needs data longer than 2m"),
])
def test_data_too_short_for_one_fold(train, message):
    with pytest.raises(ValueError, match=message):
        make_folds(days("2020-01-01", "2020-01-30"), parse_length(train), 5)


# -- a plain loop over the written rules ----------------------------------------

def plain_score(r, select):
    if select == "sharpe":
        sd = statistics.stdev(r) if len(r) > 1 else 0.0
        return statistics.fmean(r) / sd * math.sqrt(B) if sd > 0 else None
    if select == "sortino":
        down = math.sqrt(sum(min(x, 0.0) ** 2 for x in r) / len(r))
        return statistics.fmean(r) / down * math.sqrt(B) if down > 0 else None
    final = math.prod(1 + x for x in r)
    if select == "total_return":
        return final - 1
    return final ** (B / len(r)) - 1 if final > 0 else -1.0


def plain_walk_forward(dates, returns, held, train, test, anchored, select, k):
    """Windows from the words, the choice by a loop, the equity one bar at a time."""
    n, runs = returns.shape
    if isinstance(train, int):
        first = train
    else:
        first = next(i for i in range(n) if dates[i] >= dates[0] + train.times(1))
    windows, start = [], first
    while start < n:
        if isinstance(test, int):
            end = min(start + test, n)
        else:
            boundary = dates[first] + test.times(len(windows) + 1)
            end = next((i for i in range(start, n) if dates[i] >= boundary), n)
        if isinstance(train, int):
            train_start = start - train
        else:
            train_start = next(i for i in range(n) if dates[i] >= dates[start] - train.times(1))
        windows.append((0 if anchored else train_start, start, end))
        start = end
    equity, curve, picks, in_sample = 1.0, [], [], []
    for train_start, start, end in windows:
        scores = [plain_score(returns[train_start:start, run], select) for run in range(runs)]
        defined = [s for s in scores if s is not None]
        pick = scores.index(max(defined)) if defined else 0
        picks.append(pick)
        in_sample.append(plain_score(returns[train_start:start, pick], "cagr"))
        # The weights the account holds at this close: the last run's, or cash.
        before = held[picks[-2], start - 1] if len(picks) > 1 else 0.0
        equity *= 1 - k * np.abs(held[pick, start - 1] - before).sum()
        for t in range(start, end):
            equity *= 1 + returns[t, pick]
            curve.append(equity)
    cagr = curve[-1] ** (B / len(curve)) - 1
    mean_in = sum(in_sample) / len(in_sample)
    return picks, curve, cagr, (cagr / mean_in if mean_in > 0 else None)


@pytest.fixture(scope="module")
def runs():
    """Five runs of 140 daily bars with their held weights on two symbols: one
    run is flat (undefined Sharpe and Sortino), one repeats another (ties)."""
    rng = np.random.default_rng(11)
    dates = days("2021-01-01", "2021-05-20")
    returns = rng.normal(0.001, 0.02, (len(dates), 5))
    held = rng.uniform(-0.5, 0.5, (5, len(dates), 2))
    returns[:, 3], held[3] = 0.0, 0.0
    returns[:, 4], held[4] = returns[:, 1], held[1]
    return dates, returns, held


@pytest.mark.parametrize("select", ["sharpe", "sortino", "total_return", "cagr"])
@pytest.mark.parametrize("train, test, anchored", [
    (30, 17, False), (30, 17, True), ("3w", "10d", False), ("1m", "2w", True), (25, "1m", False),
])
def test_walk_forward_equals_a_plain_loop(runs, select, train, test, anchored):
    dates, returns, held = runs
    train, test = parse_length(train), parse_length(test)
    k = 0.002
    picks, curve, cagr, efficiency = plain_walk_forward(dates, returns, held, train, test,
                                                        anchored, select, k)
    folds = make_folds(dates, train, test, anchored=anchored)
    chosen = choose(fold_scores(returns, folds, select, B))
    assert chosen.tolist() == picks
    closes = boundary_closes(folds)
    result = stitch(folds, chosen, returns.T, [weights[closes] for weights in held], k, B)
    np.testing.assert_allclose(result.equity, curve, rtol=1e-12)
    assert result.start == folds[0].test_start and result.cagr == pytest.approx(cagr, rel=1e-12)
    assert result.efficiency == pytest.approx(efficiency, rel=1e-12)
    # The folds' returns, entry costs included, compound to the whole.
    assert np.prod(1 + result.returns_by_fold) == pytest.approx(curve[-1], rel=1e-12)



def test_an_undefined_score_is_chosen_only_when_every_score_is():
    nan = np.nan
    assert choose([[nan, nan, nan], [nan, -1.0, 3.0], [2.0, nan, 2.0]]).tolist() == [0, 2, 0]


# -- end to end: the command and the API against the plain loop --------------------

def _universe(folder):
    frames = {}
    for seed, symbol in enumerate(["AAA", "BBB"]):
        rng = np.random.default_rng(seed + 40)
        close = 50 * np.exp(np.cumsum(rng.normal(0.0003, 0.015, 300)))
        frame = pd.DataFrame({"date": pd.bdate_range("2021-01-04", periods=300),
                              "open": close * (1 + rng.normal(0, 0.003, 300)),
                              "high": close * 1.01, "low": close * 0.99, "close": close,
                              "volume": 1e4})
        frame.to_csv(folder / f"{symbol}.csv", index=False)
        frames[symbol] = frame.set_index("date")
    return frames


def _reference(frames, periods, train, test, select, k, **account):
    """Every combination's returns and held weights from single runs, then
    the plain loop over the written rules."""
    from quorvane.backtest import portfolio, run_strategy
    from quorvane.data import normalise_bars
    from quorvane.strategy_loader import load_strategy

    columns, held = [], []
    for period in periods:
        runs = {symbol: run_strategy(load_strategy("sma_momentum", ma_period=period),
                                     normalise_bars(bars), **account)
                for symbol, bars in frames.items()}
        main = portfolio(runs) if len(runs) > 1 else next(iter(runs.values()))
        columns.append(main.returns.to_numpy())
        held.append(np.asarray(main.weights).reshape(len(main.dates), -1))
    dates = main.dates
    return plain_walk_forward(dates, np.column_stack(columns), np.stack(held),
                              parse_length(train), parse_length(test), False, select, k)


@pytest.mark.parametrize("symbols, train, test, select", [
    (["AAA"], 60, 25, "sharpe"), (["AAA", "BBB"], "3m", "1m", "sortino"),
])
def test_walk_forward_end_to_end_equals_the_plain_loop(tmp_path, symbols, train, test, select):
    import json
    import subprocess
    import sys

    import quorvane

    frames = {symbol: bars for symbol, bars in _universe(tmp_path).items() if symbol in symbols}
    periods = [5, 10, 15, 20, 30]
    picks, curve, cagr, efficiency = _reference(frames, periods, train, test, select, 0.0008,
                                                commission=5, slippage=3, fill="next-open")
    data = tmp_path / f"{symbols[0]}.csv" if len(symbols) == 1 else tmp_path
    options = dict(train=train, test=test, select=select, commission=5, slippage=3,
                   fill="next-open")
    result = quorvane.walk_forward("sma_momentum", {"ma_period": periods}, data, jobs=2,
                                   **options)
    assert [params["ma_period"] for params in result.chosen] == [periods[p] for p in picks]
    np.testing.assert_allclose(result.equity.to_numpy(), curve, rtol=1e-12)
    assert result.efficiency == pytest.approx(efficiency, rel=1e-12)
    assert result.stats["cagr"] == pytest.approx(cagr, rel=1e-12)
    assert result.summary()["folds"] == len(picks) == len(result.folds)

    equity = tmp_path / "equity.csv"
    done = subprocess.run(
        [sys.executable, "-m", "quorvane", "walkforward", "sma_momentum", "--grid",
         "ma_period=5,10,15,20,30", "--data", str(data), "--train", str(train), "--test",
         str(test), "--select", select, "--commission", "5", "--slippage", "3", "--fill",
         "next-open", "--json", "--equity", str(equity), "--jobs", "1"],
        capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert set(document) == {"folds", "stats", "efficiency", "deflated_sharpe", "pbo", "trials",
                             "lookahead"}
    assert [fold["params"] for fold in document["folds"]] == result.chosen
    assert document["efficiency"] == pytest.approx(efficiency, rel=1e-12)
    assert document["stats"] == pytest.approx(result.stats, rel=1e-12)
    np.testing.assert_allclose(pd.read_csv(equity)["equity"], curve, rtol=1e-12)


def test_local_and_dask_engines_give_the_same_walk_forward(tmp_path):
    pytest.importorskip("distributed")
    import quorvane

    _universe(tmp_path)
    options = dict(train="2m", test="1m", commission=2, jobs=2)
    local = quorvane.walk_forward("dual_sma_momentum", {"fast_period": [5, 10],
                                                        "slow_period": [20, 40]}, tmp_path,
                                  **options)
    on_dask = quorvane.walk_forward("dual_sma_momentum", {"fast_period": [5, 10],
                                                          "slow_period": [20, 40]}, tmp_path,
                                    dask="local", **options)
    pd.testing.assert_frame_equal(local.folds, on_dask.folds)
    pd.testing.assert_series_equal(local.equity, on_dask.equity)
    assert local.summary().equals(on_dask.summary())
