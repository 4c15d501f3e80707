"""What users of the strategy framework rely on: constructing strategies,
their checked parameters, and the signals they give on hand-checked bars."""

import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import quorvane.trader_core.strategies as builtins
from quorvane.indicators import bollinger_bands, rsi
from quorvane.strategy import Strategy
from quorvane.trader_core.strategies import (
    BaseStrategy, BollingerMeanReversionStrategy, DualSMAMomentumStrategy,
    MACDCrossoverStrategy, RSIMomentumStrategy, SMAMomentumStrategy, VWAPReversionStrategy)

DEFAULTS = {
    SMAMomentumStrategy: {"ma_period": 20},
    DualSMAMomentumStrategy: {"fast_period": 10, "slow_period": 30},
    RSIMomentumStrategy: {"rsi_period": 14, "oversold": 30, "overbought": 70},
    MACDCrossoverStrategy: {"fast_period": 12, "slow_period": 26, "signal_period": 9},
    BollingerMeanReversionStrategy: {"period": 20, "num_std": 2.0},
    VWAPReversionStrategy: {"period": 20, "threshold": 0.02},
}
BUILTINS = list(DEFAULTS)
by_name = pytest.mark.parametrize("cls", BUILTINS, ids=lambda c: c.__name__)


def closes_to_bars(closes, volume=1.0):
    closes = np.asarray(closes, dtype=float)
    index = pd.date_range("2024-01-01", periods=closes.size, freq="D", name="date")
    return pd.DataFrame({"open": closes, "high": closes, "low": closes, "close": closes,
                         "volume": volume}, index=index)


def walk(n=400, seed=7):
    rng = np.random.default_rng(seed)
    return 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))


# -- the classes as the loader sees them -------------------------------------

def test_module_exports_the_base_and_the_six_builtins():
    assert builtins.__all__ == ["BaseStrategy"] + [cls.__name__ for cls in BUILTINS]


def test_bases_are_separate_plain_classes():
    for base in (Strategy, BaseStrategy):
        assert type(base) is type
        assert type(type("UserStrategy", (base,), {})) is type
    assert not issubclass(Strategy, BaseStrategy) and not issubclass(BaseStrategy, Strategy)
    assert all(type(cls) is type and issubclass(cls, BaseStrategy) for cls in BUILTINS)


def test_importing_the_package_loads_nothing_else():
    code = ("import sys, quorvane; "
            "print(quorvane.__version__, sorted(m for m in sys.modules if m.startswith('quorvane')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["0.1.0", "['quorvane']"]


def test_the_loader_and_the_strategies_import_without_the_data_stack():
    # The loader is imported at every start-up; the strategies need numpy and
    # pandas only when they compute.
    code = ("import sys, quorvane.strategy_loader, quorvane.strategy, "
            "quorvane.trader_core.strategies.base; "
            "print(sorted(m for m in ('numpy', 'pandas', 'pyarrow') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# -- construction and parameters ---------------------------------------------

@by_name
def test_builtins_construct_from_keywords_alone(cls):
    strategy = cls()
    assert strategy.params == DEFAULTS[cls]
    args = ", ".join(f"{k}={v!r}" for k, v in DEFAULTS[cls].items())
    assert repr(strategy) == f"{cls.__name__}({args})"
    name, value = next(iter(DEFAULTS[cls].items()))
    assert cls(**{name: value + 1}).params == {**DEFAULTS[cls], name: value + 1}
    with pytest.raises(AttributeError):  # checked once, at construction
        setattr(strategy, name, value)
    with pytest.raises(TypeError):
        cls(value)  # parameters are keyword-only


@pytest.mark.parametrize("cls, kwargs, message", [
    *[(cls, {name: bad}, f"{name} must be an integer >= 1, got {bad!r}")
      for cls, name in [(SMAMomentumStrategy, "ma_period"), (DualSMAMomentumStrategy, "slow_period"),
                        (RSIMomentumStrategy, "rsi_period"), (MACDCrossoverStrategy, "signal_period"),
                        (BollingerMeanReversionStrategy, "period"), (VWAPReversionStrategy, "period")]
      for bad in (0, -3, 2.5, True, "20", None)],
    (DualSMAMomentumStrategy, {"fast_period": 30, "slow_period": 10},
     "fast_period must be less than slow_period, got fast_period=30, slow_period=10"),
    (MACDCrossoverStrategy, {"fast_period": 26, "slow_period": 26},
     "fast_period must be less than slow_period, got fast_period=26, slow_period=26"),
    (RSIMomentumStrategy, {"oversold": 70, "overbought": 30},
     "oversold must be less than overbought, got oversold=70, overbought=30"),
    (RSIMomentumStrategy, {"oversold": -1}, "oversold must be a number between 0 and 100, got -1"),
    (RSIMomentumStrategy, {"overbought": 100.5}, "overbought must be a number between 0 and 100, got 100.5"),
    (RSIMomentumStrategy, {"oversold": math.nan}, "oversold must be a number between 0 and 100, got nan"),
    (RSIMomentumStrategy, {"overbought": False}, "overbought must be a number between 0 and 100, got False"),
    *[(BollingerMeanReversionStrategy, {"num_std": bad}, f"num_std must be a finite number > 0, got {bad!r}")
      for bad in (0, -1.5, math.inf, "2")],
    *[(VWAPReversionStrategy, {"threshold": bad}, f"threshold must be a finite number >= 0, got {bad!r}")
      for bad in (-0.01, math.nan, None)],
])
def test_unusable_parameters_are_refused_by_name_and_value(cls, kwargs, message):
    with pytest.raises(ValueError) as info:
        cls(**kwargs)
    assert str(info.value) == message


# -- signals on hand-checked series --------------------------------------------

@pytest.mark.parametrize("strategy, closes, expected", [
    # SMA(3): 2, 7/3, 2, 5/3, 5/3, 2
    (SMAMomentumStrategy(ma_period=3), [1, 2, 3, 2, 1, 2, 2, 2], [0, 0, 1, -1, -1, 1, 1, 0]),
    # SMA(2): 2.5, 2.5, 1.5, 1.5, 2, 2 against SMA(3): 2, 7/3, 2, 5/3, 5/3, 2
    (DualSMAMomentumStrategy(fast_period=2, slow_period=3), [1, 2, 3, 2, 1, 2, 2, 2],
     [0, 0, 1, 1, -1, -1, 1, 0]),
    # RSI(1) is 100 after a rise, 0 after a fall, 50 after no change: 0 100 50 100 0 50 0
    (RSIMomentumStrategy(rsi_period=1), [5, 4, 5, 5, 6, 5, 5, 4], [0, 0, 1, -1, -1, -1, 1, 1]),
    # with oversold=50 a rise from exactly 50 counts as climbing back above it
    (RSIMomentumStrategy(rsi_period=1, oversold=50), [5, 4, 5, 5, 6, 5, 5, 4],
     [0, 0, 1, -1, 1, -1, -1, -1]),
    # RSI(3): 66.7, 83.3, 60.6 (see the indicator tests): falls back below 70 on the last bar
    (RSIMomentumStrategy(rsi_period=3), [10, 11, 12, 11, 13, 12], [0, 0, 0, 0, 0, -1]),
    # MACD(2, 3) line 1.5, 0, 1.25, 1/24 against its EMA(2) 0.75, 13/12, 7/18
    (MACDCrossoverStrategy(fast_period=2, slow_period=3, signal_period=2), [3, 6, 9, 3, 12, 6],
     [0, 0, 0, -1, 1, -1]),
    # bands (3 bars, 1 deviation): 13 above the upper band 12.41 -> short; 12 held;
    # 12.5 equals the middle -> flat; 10 below the lower band 10.42 -> long;
    # 11 below the middle 11.17 -> held; 11 above the middle 10.67 -> flat
    (BollingerMeanReversionStrategy(period=3, num_std=1), [10, 10, 10, 13, 12, 12.5, 10, 11, 11],
     [0, 0, 0, -1, -1, 0, 1, 1, 0]),
])
def test_signals_on_close_series(strategy, closes, expected):
    bars = closes_to_bars(closes)
    positions = strategy.generate_signals(bars)
    assert isinstance(positions, pd.Series) and positions.index.equals(bars.index)
    assert positions.tolist() == expected


def test_vwap_reversion_signals():
    bars = [  # (high, low, close, volume); VWAP over 2 bars of typical prices, threshold 25%
        (100, 100, 100, 1),
        (100, 100, 100, 3),  # VWAP 100: on it -> flat
        (150, 150, 150, 1),  # VWAP (300 + 150) / 4 = 112.5: 37.5 above (> 28.125) -> short
        (60, 60, 60, 0),     # only the previous bar has volume: VWAP 150 -> long
        (100, 100, 100, 0),  # no volume in the window -> flat
        (125, 50, 125, 2),   # typical 100, VWAP 100: exactly 25% above is not more -> flat
        (100, 40, 70, 2),    # typical 70, VWAP 85: 15 below (< 21.25) -> flat
    ]
    strategy = VWAPReversionStrategy(period=2, threshold=0.25)
    high, low, close, volume = map(list, zip(*bars))
    frame = closes_to_bars(close, volume).assign(high=high, low=low)
    assert strategy.generate_signals(frame).tolist() == [0, 0, -1, 1, 0, 0, 0]


@by_name
def test_signals_are_flat_during_warm_up_and_one_per_bar(cls):
    strategy = cls()
    assert strategy.generate_signals(closes_to_bars([])).tolist() == []
    assert strategy.generate_signals(closes_to_bars(range(1, 10))).tolist() == [0] * 9
    signals = strategy.generate_signals(closes_to_bars(walk(301)))
    assert len(signals) == 301 and set(signals) == {-1, 0, 1}
    assert (signals.iloc[:strategy.warm_up] == 0).all()


# The rules of the two strategies that hold positions, one bar at a time.
def rsi_loop(closes, period, oversold, overbought):
    out, position, previous = [], 0, math.nan
    for value in rsi(closes, period):
        if previous <= oversold < value:
            position = 1
        elif previous >= overbought > value:
            position = -1
        out.append(position)
        previous = value
    return out


def bollinger_loop(closes, period, num_std):
    out, position = [], 0
    for close, mid, up, low in zip(closes, *bollinger_bands(closes, period, num_std)):
        if not math.isnan(mid):
            if close < low:
                position = 1
            elif close > up:
                position = -1
            elif position == 1 and close >= mid or position == -1 and close <= mid:
                position = 0
        out.append(position)
    return out


@pytest.mark.parametrize("seed", range(5))
def test_stateful_strategies_equal_their_bar_by_bar_rules(seed):
    closes = walk(600, seed).round(1)  # rounding makes closes that touch the middle band
    bars = closes_to_bars(closes)
    for period, low, high in [(14, 30, 70), (3, 45, 55)]:
        strategy = RSIMomentumStrategy(rsi_period=period, oversold=low, overbought=high)
        assert strategy.generate_signals(bars).tolist() == rsi_loop(closes, period, low, high)
    for period, width in [(20, 2.0), (5, 0.5)]:
        strategy = BollingerMeanReversionStrategy(period=period, num_std=width)
        assert strategy.generate_signals(bars).tolist() == bollinger_loop(closes, period, width)


# -- what the strategies accept -----------------------------------------------

@by_name
def test_bars_must_be_a_dataframe_with_the_needed_columns(cls):
    with pytest.raises(TypeError, match=f"{cls.__name__}.generate_signals needs the bars as a "
                                        "pandas DataFrame .* got list"):
        cls().generate_signals([("2024-01-01", 1, 1, 1, 1, 1)])
    with pytest.raises(ValueError, match="needs the column"):
        cls().generate_signals(pd.DataFrame({"price": [1.0, 2.0]}))


# -- user strategies -----------------------------------------------------------

def test_strategy_keeps_the_callers_symbols_list_and_extra_keywords():
    symbols = ["OGDC"]
    strategy = Strategy(symbols=symbols, lookback=5)
    assert strategy.symbols is symbols
    assert strategy.params == {"lookback": 5}
    assert repr(strategy) == "Strategy(symbols=['OGDC'], lookback=5)"
    assert Strategy().symbols == [] and Strategy().symbols is not Strategy().symbols
    with pytest.raises(TypeError, match="symbols must be a list"):
        Strategy(symbols="OGDC")


def test_user_strategy_plugs_in_by_overriding_generate_signals():
    class Rising(Strategy):
        def generate_signals(self, bars):
            return (bars["close"].diff() > 0).astype(float)

    assert Rising(symbols=[]).generate_signals(closes_to_bars([1, 2, 1, 3])).tolist() == [0, 1, 0, 1]
    for base in (Strategy, BaseStrategy):
        with pytest.raises(NotImplementedError, match="Plain must override generate_signals"):
            type("Plain", (base,), {})().generate_signals([])


def test_class_deriving_from_both_bases_takes_symbols():
    Both = type("Both", (Strategy, BaseStrategy), {})
    strategy = Both(symbols=["A"], k=1)
    assert isinstance(strategy, Strategy) and isinstance(strategy, BaseStrategy)
    assert (strategy.symbols, strategy.params) == (["A"], {"k": 1})
