"""The compiled loops behind the indicators: their values on random series
against plain references, and arguments they must refuse without touching
memory."""

from __future__ import annotations

import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import sliding_window_view

from quorvane import _kernels

# -- references: plain loops over the definitions -------------------------------------


def smoothed(x, period, alpha):
    out = [np.nan] * len(x)
    if len(x) >= period:
        y = float(np.mean(x[:period]))
        out[period - 1] = y
        for t in range(period, len(x)):
            y += alpha * (x[t] - y)
            out[t] = y
    return np.array(out)


def relative_strength(x, period):
    out = np.full(len(x), np.nan)
    if len(x) > period:
        change = np.diff(x)
        gain = smoothed(np.maximum(change, 0), period, 1 / period)
        loss = smoothed(np.maximum(-change, 0), period, 1 / period)
        total = gain + loss
        out[1:][period - 1:] = [100 * g / s if s > 0 else 50.0
                                for g, s in zip(gain[period - 1:], total[period - 1:])]
    return out


def convergence_divergence(x, fast, slow, signal):
    out = np.full((3, len(x)), np.nan)
    first = slow - 1
    if len(x) > first + signal - 1:
        fast_line = smoothed(x[first - fast + 1:], fast, 2 / (fast + 1))[fast - 1:]
        slow_line = smoothed(x, slow, 2 / (slow + 1))[first:]
        line = fast_line - slow_line
        signal_line = smoothed(line, signal, 2 / (signal + 1))
        shown = first + signal - 1
        out[0, shown:] = line[signal - 1:]
        out[1, shown:] = signal_line[signal - 1:]
        out[2, shown:] = out[0, shown:] - out[1, shown:]
    return out


def windows(x, period):
    return sliding_window_view(x, period) if len(x) >= period else np.empty((0, period))


def warm_up_then(values, n, period):
    return np.concatenate([np.full(min(n, period - 1), np.nan), values])


def assert_close(ours, reference, scale):
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(reference))
    known = ~np.isnan(reference)
    np.testing.assert_allclose(ours[known], reference[known], rtol=1e-10, atol=1e-10 * scale)


# -- values -------------------------------------------------------------------------

@st.composite
def series(draw):
    """Random walks at levels from 1e-3 to 1e6, some with flat stretches,
    long enough to cross the points where the running sums start afresh."""
    n = draw(st.sampled_from([0, 1, 2, 9, 130, 4100, 9000]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    level = 10.0 ** draw(st.integers(-3, 6))
    steps = rng.normal(0, draw(st.sampled_from([1e-4, 1e-2, 0.2])), n)
    if draw(st.booleans()):
        steps[rng.random(n) < 0.5] = 0.0  # unchanged prices: no gain, no loss, no spread
    return level * np.exp(np.cumsum(steps))


odd_periods = st.sampled_from([1, 3, 7, 13, 63, 65, 129, 4097])


@settings(max_examples=60, deadline=None)
@given(x=series(), period=odd_periods, other=odd_periods, third=st.sampled_from([1, 3, 9]))
def test_kernels_follow_their_definitions_on_random_series(x, period, other, third):
    n = x.size
    scale = float(np.abs(x).max(initial=1.0))
    out = np.empty(n)

    _kernels.window_sum(x, period, out)
    assert_close(out, warm_up_then(windows(x, period).sum(axis=1), n, period), scale * period)
    _kernels.window_mean(x, period, out)
    assert_close(out, warm_up_then(windows(x, period).mean(axis=1), n, period), scale)

    deviation = np.empty(n)
    _kernels.window_mean_std(x, period, out, deviation)
    assert_close(out, warm_up_then(windows(x, period).mean(axis=1), n, period), scale)
    # A rounding residue of the variance (1e-16 of the level squared) is a
    # deviation of 1e-8 of the level in a flat window: compare variances.
    assert_close(deviation ** 2, warm_up_then(windows(x, period).var(axis=1), n, period), scale ** 2)

    _kernels.ema(x, period, 2 / (period + 1), out)
    assert_close(out, smoothed(x, period, 2 / (period + 1)), scale)
    _kernels.rsi(x, period, out)
    assert_close(out, relative_strength(x, period), 100.0)

    fast, slow = sorted((period, other))
    outputs = np.empty((3, n))
    _kernels.macd(x, fast, slow, third, *outputs)
    assert_close(outputs.ravel(), convergence_divergence(x, fast, slow, third).ravel(), scale)


# -- refusals -----------------------------------------------------------------------

# name: (scalar arguments after x, number of outputs)
KERNELS = {
    "window_sum": ((3,), 1),
    "window_mean": ((3,), 1),
    "window_mean_std": ((3,), 2),
    "ema": ((3, 0.5), 1),
    "rsi": ((3,), 1),
    "macd": ((2, 3, 2), 3),
}
N = 16


def misaligned(n):
    return np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, offset=1, count=n)


def read_only(n):
    array = np.zeros(n)
    array.flags.writeable = False
    return array


# Each case changes good arguments (x, scalars, outputs) into bad ones.
BAD = {
    "x a list": (TypeError, lambda x, s, o: ([1.0] * N, s, o)),
    "x a str": (TypeError, lambda x, s, o: ("0" * N, s, o)),
    "x of int64": (TypeError, lambda x, s, o: (np.arange(N), s, o)),
    "x of float32": (TypeError, lambda x, s, o: (x.astype(np.float32), s, o)),
    "x byte-swapped": (TypeError, lambda x, s, o: (x.astype(">f8"), s, o)),
    "x two-dimensional": (ValueError, lambda x, s, o: (x.reshape(4, 4), s, o)),
    "x a scalar": (ValueError, lambda x, s, o: (np.float64(1.0), s, o)),
    "x strided": (ValueError, lambda x, s, o: (np.zeros(2 * N)[::2], s, o)),
    "x misaligned": (ValueError, lambda x, s, o: (misaligned(N), s, o)),
    "out None": (TypeError, lambda x, s, o: (x, s, [None, *o[1:]])),
    "out read-only": (ValueError, lambda x, s, o: (x, s, [read_only(N), *o[1:]])),
    "out bytes": (ValueError, lambda x, s, o: (x, s, [bytes(8 * N), *o[1:]])),
    "out too short": (ValueError, lambda x, s, o: (x, s, [np.empty(N - 1), *o[1:]])),
    "out too long": (ValueError, lambda x, s, o: (x, s, [np.empty(N + 1), *o[1:]])),
    "out strided": (ValueError, lambda x, s, o: (x, s, [np.empty(2 * N)[::2], *o[1:]])),
    "out misaligned": (ValueError, lambda x, s, o: (x, s, [misaligned(N), *o[1:]])),
    "out is x": (ValueError, lambda x, s, o: (x, s, [x, *o[1:]])),
    "out overlaps x": (ValueError, lambda x, s, o: (x[1:], s, [x[:-1], *[a[1:] for a in o[1:]]])),
    # With one output, the one it can share is x's.
    "outputs share memory": (ValueError, lambda x, s, o: (x, s, [o[0]] * len(o) if len(o) > 1 else [x])),
    "period 0": (ValueError, lambda x, s, o: (x, (0, *s[1:]), o)),
    "period negative": (ValueError, lambda x, s, o: (x, (-3, *s[1:]), o)),
    "period too large for C": (ValueError, lambda x, s, o: (x, (2**70, *s[1:]), o)),
    "period a bool": (TypeError, lambda x, s, o: (x, (True, *s[1:]), o)),
    "period a float": (TypeError, lambda x, s, o: (x, (3.0, *s[1:]), o)),
    "too few arguments": (TypeError, lambda x, s, o: (x, s[:-1], o)),
    "too many arguments": (TypeError, lambda x, s, o: (x, s, [*o, np.empty(N)])),
}


@pytest.mark.parametrize("case", BAD, ids=BAD)
@pytest.mark.parametrize("name", KERNELS, ids=KERNELS)
def test_bad_arguments_are_refused_before_any_work(name, case):
    scalars, outputs = KERNELS[name]
    error, change = BAD[case]
    x, scalars, outs = change(np.linspace(1.0, 2.0, N), scalars, [np.zeros(N) for _ in range(outputs)])
    with pytest.raises(error):
        getattr(_kernels, name)(x, *scalars, *outs)


@pytest.mark.parametrize("alpha, error", [(0.0, ValueError), (1.5, ValueError), (float("nan"), ValueError),
                                          (-0.1, ValueError), (1, TypeError), ("0.5", TypeError)])
def test_unusable_smoothing_is_refused(alpha, error):
    with pytest.raises(error, match="alpha"):
        _kernels.ema(np.ones(4), 2, alpha, np.empty(4))


def test_macd_refuses_a_fast_period_longer_than_the_slow_one():
    with pytest.raises(ValueError, match="fast must not exceed slow"):
        _kernels.macd(np.ones(8), 4, 3, 2, np.empty(8), np.empty(8), np.empty(8))


def account_arguments():
    """Good arguments of the account kernel: 8 dates of 2 symbols."""
    x = np.linspace(1.0, 2.0, 16)
    return [x, x, x, x, np.zeros(16), 2, 0.0, False, 0, np.nan, np.nan, np.nan,
            np.empty(8), np.empty(8), np.empty(16)]


ACCOUNT_BAD = {
    "values not a multiple of the symbols": (ValueError, {5: 3}),
    "no symbols": (ValueError, {5: 0}),
    "open shorter than close": (ValueError, {0: np.ones(15)}),
    "target of int64": (TypeError, {4: np.zeros(16, dtype=np.int64)}),
    "cost_rate above one half": (ValueError, {6: 0.6}),
    "cost_rate negative": (ValueError, {6: -0.001}),
    "cost_rate an int": (TypeError, {6: 0}),
    "next_open an int": (TypeError, {7: 1}),
    "rebalance negative": (ValueError, {8: -1}),
    "rebalance a float": (TypeError, {8: 1.0}),
    "stop_loss zero": (ValueError, {9: 0.0}),
    "take_profit infinite": (ValueError, {10: float("inf")}),
    "trailing_stop an int": (TypeError, {11: 1}),
    "equity one value per symbol": (ValueError, {12: np.empty(16)}),
    "cash read-only": (ValueError, {13: read_only(8)}),
    "units is close": (ValueError, {14: "close"}),
    "cash shares equity": (ValueError, {13: "equity"}),
    "cash without units": (TypeError, {14: None}),
    "too few arguments": (TypeError, {15: "drop"}),
}


@pytest.mark.parametrize("case", ACCOUNT_BAD, ids=ACCOUNT_BAD)
def test_the_account_refuses_bad_arguments(case):
    error, changes = ACCOUNT_BAD[case]
    arguments = account_arguments()
    named = {"close": arguments[3], "equity": arguments[12]}
    for position, value in changes.items():
        if isinstance(value, str) and value == "drop":
            del arguments[-1]
        else:
            arguments[position] = named.get(value, value) if isinstance(value, str) else value
    with pytest.raises(error):
        _kernels.account(*arguments)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_the_entry_point_is_the_only_exported_symbol():
    listing = subprocess.run(["nm", "-D", "--defined-only", _kernels.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__kernels"]
