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
