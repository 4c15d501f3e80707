"""The look-ahead check: strategies that read later bars are caught at the
first bar they change, honest ones (every built-in) pass."""

import json

import numpy as np
import pandas as pd
import pytest

from quorvane.data import read_bars, sample_csv
from quorvane.lookahead import Lookahead, LookaheadWarning, find_lookahead
from quorvane.strategy_loader import list_strategies, load_strategy


@pytest.fixture(scope="module")
def sample():
    return read_bars(sample_csv())


def random_walk(n, seed=3):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    spread = close * rng.uniform(0, 0.01, n)
    index = pd.date_range("2015-01-01", periods=n, freq="h", name="date")
    return pd.DataFrame({"open": close, "high": close + spread, "low": close - spread,
                         "close": close, "volume": rng.uniform(1e3, 1e4, n)}, index=index)


def check(generate, bars):
    return find_lookahead(generate, bars, generate(bars.copy()))


def tomorrow(bars):
    """Long when the next close is higher: one bar ahead."""
    close = bars["close"]
    return np.sign(close.shift(-1) - close).fillna(0.0)


def scaled(bars):
    """A z-score on the mean and deviation of the whole series."""
    close = bars["close"]
    return ((close - close.mean()) / (3 * close.std())).clip(-1, 1)


@pytest.mark.parametrize("generate, row", [(tomorrow, 100), (scaled, 1)])
def test_a_strategy_that_reads_later_bars_is_caught(sample, generate, row):
    # 400 bars: the quarter cut's last bar lost its next close.
    assert check(generate, sample) == Lookahead(row, sample.index[row - 1])


@pytest.mark.parametrize("name", list_strategies())
@pytest.mark.parametrize("data", ["sample", "walk"])
def test_every_builtin_strategy_passes(sample, name, data):
    bars = sample if data == "sample" else random_walk(20_000)
    assert check(load_strategy(name).generate_signals, bars) is None


def test_a_warm_up_longer_than_a_cut_passes(sample):
    strategy = load_strategy("sma_momentum", ma_period=150)  # flat through the first cut
    assert check(strategy.generate_signals, sample) is None


def test_a_cut_the_strategy_refuses_is_left_out_with_a_warning(sample):
    def picky(bars):
        if len(bars) < 150:
            raise ValueError("needs 150 bars")
        return tomorrow(bars)

    with pytest.warns(LookaheadWarning, match="first 100 bars .* ValueError: needs 150 bars"):
        found = check(picky, sample)
    assert found == Lookahead(200, sample.index[199])



# -- through the command line ----------------------------------------------------

PEEKING = '''\
import json

import numpy as np
from quorvane.strategy import Strategy

class Tomorrow(Strategy):
    """Long when the next close is higher."""
    def generate_signals(self, bars):
        close = bars["close"]
        return np.sign(close.shift(-1) - close).fillna(0.0)
'''


@pytest.mark.parametrize("options, status", [([], 0), (["--strict"], 3)])
def test_run_names_the_first_changed_row_and_date(sample, tmp_path, monkeypatch, capsys, options,
                                                  status):
    from quorvane.cli import main

    (tmp_path / "peek.py").write_text(PEEKING)
    monkeypatch.chdir(tmp_path)
    assert main(["run", "peek.py", "--json", *options]) == status
    captured = capsys.readouterr()
    report = json.loads(captured.out)
    assert report["lookahead"] == {"row": 100, "date": sample.index[99].date().isoformat()}
    assert "look-ahead: the position at row 100 (2023-05-19)" in captured.err
    assert main(["run", "peek.py", "--json", "--strict", "--no-lookahead-check"]) == 0
    assert "lookahead" not in json.loads(capsys.readouterr().out)


@pytest.mark.parametrize("name", list_strategies())
def test_every_builtin_strategy_passes_in_run(name, capsys):
    from quorvane.cli import main

    assert main(["run", name, "--json", "--strict"]) == 0
    assert json.loads(capsys.readouterr().out)["lookahead"] is None
