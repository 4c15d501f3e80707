"""The Python entry points a script or notebook starts from: ``quorvane.run``
gives the figures of ``quorvane run``, the top-level names are visible to
the tools people use, and importing the package stays cheap."""

import json
import os
import subprocess
import sys

import pandas as pd
import pytest

import quorvane
from quorvane.data import load_data

OPTIONS = {
    "plain": ({}, []),
    "costs, next-open fills and stops": (
        {"commission": 5.0, "slippage": 2.0, "fill": "next-open", "stop_loss": 0.03,
         "trailing_stop": 0.05, "bars_per_year": 260},
        ["--commission", "5", "--slippage", "2", "--fill", "next-open", "--stop-loss", "0.03",
         "--trailing-stop", "0.05", "--bars-per-year", "260"]),
}


def cli_json(*args, cwd):
    result = subprocess.run([sys.executable, "-m", "quorvane", "run", *map(str, args), "--json"],
                            cwd=cwd, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def two_symbols(tmp_path_factory):
    """A folder of two symbols' files: the sample and a scaled, shorter copy."""
    folder = tmp_path_factory.mktemp("prices")
    (bars,) = load_data(None).values()
    bars.to_csv(folder / "AAA.csv")
    (bars.iloc[50:] * 1.5).to_csv(folder / "BBB.csv")
    return folder


@pytest.mark.parametrize("keywords, flags", OPTIONS.values(), ids=OPTIONS)
@pytest.mark.parametrize("several", [False, True], ids=["one symbol", "two symbols"])
def test_run_gives_the_figures_of_the_command(keywords, flags, several, two_symbols, tmp_path):
    data = two_symbols if several else None
    args = ["sma_momentum", "--param", "ma_period=15", *flags]
    if several:
        args += ["--data", two_symbols]
    report = cli_json(*args, cwd=tmp_path)
    result = quorvane.run("sma_momentum", data, params={"ma_period": 15}, **keywords)
    assert result.stats == report["stats"]
    assert (len(result.dates), str(result.dates[0].date())) == (report["bars"], report["start"])
    if several:
        assert {symbol: r.stats for symbol, r in result.per_symbol.items()} == {
            symbol: entry["stats"] for symbol, entry in report["per_symbol"].items()}


def test_a_frame_as_users_hold_it_runs_as_its_file(tmp_path):
    (bars,) = load_data(None).values()
    path = tmp_path / "prices.csv"
    held = bars.rename(columns=str.capitalize).rename_axis("Date")
    held.insert(4, "Adj Close", held["Close"] * 0.5)
    held.to_csv(path)
    frame = pd.read_csv(path, index_col="Date", parse_dates=True)
    from_frame = quorvane.run("sma_momentum", frame, commission=3)
    from_file = quorvane.run("sma_momentum", path, commission=3)
    assert from_frame.stats == from_file.stats
    assert from_frame.bars.equals(bars)


def test_run_refuses_what_it_cannot_honour():
    from quorvane.trader_core.strategies import SMAMomentumStrategy
    with pytest.raises(TypeError, match="params cannot apply"):
        quorvane.run(SMAMomentumStrategy(), params={"ma_period": 5})
    with pytest.raises(ValueError, match="fill"):
        quorvane.run("sma_momentum", fill="tomorrow")


def test_top_level_names_are_visible_and_cheap_to_import(tmp_path):
    code = (
        "import sys, pydoc, quorvane\n"
        "names = dir(quorvane)\n"
        "heavy = sorted(m for m in ('numpy', 'pandas') if m in sys.modules)\n"
        "import quorvane.strategy_loader\n"
        "heavy += sorted(m for m in ('numpy', 'pandas') if m in sys.modules)\n"
        "text = pydoc.render_doc(quorvane, renderer=pydoc.plaintext)\n"
        "print(names, heavy, quorvane.run.__module__, quorvane.sweep.__module__,\n"
        "      quorvane.backtest.__name__, 'run(spec' in text)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120, env={**os.environ, "PYTHONPATH": ""})
    assert result.returncode == 0, result.stderr
    assert all(name in result.stdout for name in ("'run'", "'sweep'", "'backtest'"))
    assert result.stdout.split("] ", 1)[1].split() == [
        "[]", "quorvane", "quorvane.sweeps", "quorvane.backtest", "True"]
