"""``python -m quorvane``: its three subcommands, the plot and the error path,
each run the way a user runs it, in a subprocess."""

import io
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvane.cli as cli_module
from quorvane.cli import CliError, Progress, parse_dates, parse_params, parse_value, read_bars

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "user_strategies" / "my_strategy.py"
BUILTIN_NAMES = ["sma_momentum", "dual_sma_momentum", "rsi_momentum", "macd_crossover",
                 "bollinger_mean_reversion", "vwap_reversion"]
ERROR_LINE = re.compile(r"python -m quorvane: error: .+")

# A strategy whose signals are a --param, so that a run has a known answer.
FIXED_SIGNALS = textwrap.dedent("""\
    import sys, warnings
    from quorvane.strategy import Strategy
    warnings.warn("loaded the fixed strategy")

    class FixedSignals(Strategy):
        '''Returns the signals it was given.'''
        def generate_signals(self, bars):
            if self.params.get("exit"):
                sys.exit(0)
            return self.params["signals"]
    """)
KNOWN_CSV = textwrap.dedent("""\
    Date,Open,High,Low,Close,Volume,Note
    2024-01-01,100,100,100,100,10,a
    2024-01-02,110,110,110,110,10,b
    2024-01-03,99,99,99,99,10,c
    2024-01-04,99,99,99,99,10,d
    2024-01-05,108.9,108.9,108.9,108.9,10,e
    """)


def cli(*args, cwd, python_args=()):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    return subprocess.run([sys.executable, *python_args, "-m", "quorvane", *map(str, args)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


@pytest.fixture
def work(tmp_path):
    """A directory holding the fixed-signal strategy and the known bars."""
    (tmp_path / "fixed.py").write_text(FIXED_SIGNALS)
    (tmp_path / "known.csv").write_text(KNOWN_CSV)
    return tmp_path


def report(stdout):
    return dict(line.split(": ", 1) for line in stdout.splitlines() if ": " in line)


# -- list ----------------------------------------------------------------------

def test_list_shows_every_name_with_class_source_and_status(tmp_path):
    result = cli("list", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    rows = [line.split() for line in result.stdout.splitlines()]
    assert rows[0] == ["name", "class", "source", "status"]
    assert [row[0] for row in rows[1:]] == BUILTIN_NAMES
    assert rows[1][1:] == ["SMAMomentumStrategy", "built-in", "ok"]
    assert all(row[1].endswith("Strategy") and row[2:] == ["built-in", "ok"] for row in rows[1:])


# -- load ----------------------------------------------------------------------

def test_load_builtin_shows_class_and_all_parameters(tmp_path):
    result = cli("load", "SMA_Momentum", "--param", "ma_period=50", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "class: quorvane.trader_core.strategies.SMAMomentumStrategy",
        "symbols: (not used by this strategy)",
        "parameters:",
        "  ma_period = 50",
    ]


def test_load_file_passes_symbols_class_name_and_literal_params(tmp_path):
    strategy_dir = tmp_path / "strategies"
    strategy_dir.mkdir()
    shutil.copy(EXAMPLE, strategy_dir / "my_strategy.py")
    result = cli("load", "strategies/my_strategy.py", "--symbols", "OGDC, PSO",
                 "--class-name", "BreakoutStrategy", "--param", "lookback=5", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "class: strategy_module.BreakoutStrategy",
        "symbols: OGDC, PSO",
        "parameters:",
        "  lookback = 5",
    ]
    # Loading executes the file, but leaves no bytecode cache beside it.
    assert sorted(p.name for p in strategy_dir.iterdir()) == ["my_strategy.py"]


def test_load_module_path_from_the_current_directory(work):
    values = ["label=hello", "ratio=0.5", "flag=True", "text='20'", "items=[1, 2]", "none=None"]
    result = cli("load", "fixed.FixedSignals", *[a for v in values for a in ("--param", v)],
                 cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1] == "class: fixed.FixedSignals"
    assert result.stdout.splitlines()[-6:] == [
        "  label = 'hello'", "  ratio = 0.5", "  flag = True", "  text = '20'",
        "  items = [1, 2]", "  none = None"]


# -- run -----------------------------------------------------------------------

def test_run_known_answer_on_a_data_file(work):
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[1, -1, 0, 1, 1]",
                 cwd=work)
    assert result.returncode == 0, result.stderr
    # The strategy's own warning goes to standard output too.
    assert result.stderr == ""
    assert "warning: UserWarning: loaded the fixed strategy" in result.stdout
    assert report(result.stdout) | {"warning": None} == {
        "warning": None,
        "strategy": "FixedSignals(signals=[1, -1, 0, 1, 1])",
        "data": "known.csv, 5 bars, 2024-01-01 to 2024-01-05",
        "signals": "3 long, 1 flat, 1 short",
        "trades": "4",
        "total return": "+33.10%",
        "max drawdown": "0.00%",
    }


def test_run_defaults_to_the_shipped_sample(tmp_path):
    result = cli("run", "sma_momentum", "--param", "ma_period=20", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    lines = report(result.stdout)
    assert lines["data"] == ("sample_daily.csv (shipped synthetic sample), 400 bars, "
                             "2023-01-02 to 2024-07-12")
    long_, flat, short = map(int, re.findall(r"\d+", lines["signals"]))
    assert long_ + flat + short == 400 and flat == 19  # flat while the 20-bar average warms up
    assert re.fullmatch(r"[+-]\d+\.\d\d%", lines["total return"])


@pytest.mark.parametrize("mode, shown", [("always", True), ("auto", False), ("never", False)])
def test_progress_lines_only_when_asked_or_on_a_terminal(work, mode, shown):
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[0, 0, 0, 0, 0]",
                 "--progress", mode, cwd=work)
    assert result.returncode == 0, result.stderr
    progress = [line for line in result.stdout.splitlines()
                if line.startswith(("reading", "read ", "computing", "running"))]
    if shown:
        percents = [line for line in progress if line.startswith("reading known.csv: ")]
        assert percents and percents[-1] == "reading known.csv: 100%"
        assert progress[-3:] == ["read 5 bars from known.csv", "computing signals for 5 bars",
                                 "running the backtest"]
    else:
        assert progress == []


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("out, threshold, shown", [
    (Terminal(), 100, True),      # a long file on a terminal
    (Terminal(), 10**9, False),   # a short file
    (io.StringIO(), 100, False),  # a pipe or a file
])
def test_auto_progress_needs_a_long_file_and_a_terminal(work, monkeypatch, out, threshold, shown):
    monkeypatch.setattr(cli_module.run, "LONG_FILE_BYTES", threshold)
    bars, _ = cli_module._open_data(str(work / "known.csv"), Progress(out, False), "auto")
    assert len(bars) == 5
    if shown:
        assert "\r" in out.getvalue() and out.getvalue().endswith("100%\nread 5 bars from "
                                                                  f"{work / 'known.csv'}\n")
    else:
        assert out.getvalue() == ""


# -- plot ----------------------------------------------------------------------

def test_plot_writes_a_png_that_opens(work):
    image = pytest.importorskip("matplotlib.image")
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[1, -1, 0, 1, 1]",
                 "--plot", "out.png", cwd=work)
    assert result.returncode == 0 and result.stderr == ""
    assert report(result.stdout)["plot"] == "out.png"
    assert (work / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    height, width, _ = image.imread(work / "out.png").shape
    assert height > 300 and width > 500


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from quorvane.cli import main; "
            "sys.exit(main(['run', 'sma_momentum', '--plot', 'out.png'], prog='python -m quorvane'))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert ERROR_LINE.fullmatch(result.stderr.rstrip("\n"))
    assert "pip install" in result.stderr and "plot" in result.stderr
    assert not (tmp_path / "out.png").exists()


# -- errors --------------------------------------------------------------------

BAD_ROW = "date,open,high,low,close,volume\n2024-01-01,1,1,1,1,1\n2024-01-02,1,1,1,oops,1\n"
UNORDERED = "date,open,high,low,close,volume\n2024-01-02,1,1,1,1,1\n2024-01-01,1,1,1,1,1\n"


@pytest.mark.parametrize("args, message", [
    (["run", "nope"], "Strategy 'nope' not found. Available built-in strategies: "),
    (["load", "sma_momentum", "--param", "ma_period=0"], "ma_period must be an integer >= 1, got 0"),
    (["load", "sma_momentum", "--class-name", "X"], "unexpected keyword argument 'class_name'"),
    (["load", "missing.py"], "strategy file not found: missing.py"),
    (["load", "sma_momentum", "--param", "ma_period"], "--param expects KEY=VALUE"),
    (["load", "sma_momentum", "--param", "symbols=['A']"], "use --symbols"),
    (["load", "sma_momentum", "--symbols", "A,,B"], "--symbols expects ticker symbols"),
    (["run", "sma_momentum", "--data", "nothing.csv"], "data file not found: nothing.csv"),
    (["run", "sma_momentum", "--data", "bad.csv"], "bad.csv, line 3: close must be a number"),
    (["run", "sma_momentum", "--data", "unordered.csv"], "bars must be in time order"),
    (["run", "fixed.py", "--param", "signals=[1]"], "returned 1 signals for 400 bars"),
    (["run", "fixed.py", "--param", "signals=[]", "--param", "exit=1"], "called sys.exit(0)"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["run"], "the following arguments are required: SPEC"),
])
def test_errors_are_one_line_on_stderr_with_status_2(work, args, message):
    (work / "bad.csv").write_text(BAD_ROW)
    (work / "unordered.csv").write_text(UNORDERED)
    result = cli(*args, cwd=work)
    assert result.returncode == 2
    assert ERROR_LINE.fullmatch(result.stderr.rstrip("\n")), result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("where", ["before", "after"])
def test_traceback_option_shows_the_full_traceback(tmp_path, where):
    args = ["load", "sma_momentum", "--param", "ma_period=0"]
    args = ["--traceback", *args] if where == "before" else [*args, "--traceback"]
    result = cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("Traceback (most recent call last):")
    assert "quorvane.strategy_loader.load_strategy" in result.stderr
    assert result.stderr.rstrip().endswith("ValueError: ma_period must be an integer >= 1, got 0")


def test_help_warns_that_files_are_executed(tmp_path):
    result = cli("run", "--help", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    assert "executes that code" in " ".join(result.stdout.split())


# -- option parsing (in-process: pure functions) -----------------------------------

@pytest.mark.parametrize("text, value", [
    ("20", 20), ("-1.5", -1.5), ("True", True), ("None", None), ("'20'", "20"),
    ("[1, 2]", [1, 2]), ("abc", "abc"), ("", ""), ("1 +", "1 +"), ("__import__('os')", "__import__('os')"),
    ("[" * 1000 + "]" * 1000, "[" * 1000 + "]" * 1000),
])
def test_param_values_are_literals_where_they_parse(text, value):
    assert parse_value(text) == value


@pytest.mark.parametrize("items, message", [
    (["a=1", "a=2"], "given more than once"),
    (["1a=1"], "must be a Python identifier"),
    (["=1"], "expects KEY=VALUE"),
    (["class_name=X"], "use --class-name"),
    (["strategy_spec=x"], "SPEC argument"),
])
def test_params_that_cannot_be_passed_on_are_refused(items, message):
    with pytest.raises(CliError, match=message):
        parse_params(items)
    assert parse_params(["b=1", " a =x=y"]) == {"b": 1, "a": "x=y"}


def test_dates_that_are_not_iso_are_kept_unchecked():
    bars = read_bars(["date,open,high,low,close,volume\n", "03/01/2024,1,1,1,1,1\n",
                      "02/01/2024,1,1,1,1,1\n"], "x.csv")
    assert [bar.date for bar in bars] == ["03/01/2024", "02/01/2024"]
    assert parse_dates(bars, "x.csv") is None


@pytest.mark.parametrize("text, message", [
    ("", "x.csv is empty"),
    ("date,open,high,low,volume\n", "no column close in the header line"),
    ("date,open,high,low,close,volume\n", "holds no bars"),
    ("date,open,high,low,close,volume\n2024-01-01,1,1,1,1\n", "line 2: volume must be a number"),
])
def test_unusable_data_files_are_refused(text, message):
    with pytest.raises(CliError, match=message):
        read_bars(text.splitlines(keepends=True), "x.csv")
