"""Strategy folders and the command's mistakes: each run in a subprocess the
way a user runs it, from a directory other than the strategies' own."""

import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# Every strategy file leaves a marker when it runs: listing must not run it.
MARKER = "import pathlib; pathlib.Path(__file__).with_suffix('.ran').touch()\n"
FILES = {
    "breakout.py": MARKER + textwrap.dedent('''\
        from quorvane.strategy import Strategy
        from signals_helper import always   # a module beside this file

        class Breakout(Strategy):
            """Breaks out.

            Args:
                lookback: Bars in the channel,
                    counted back from the bar before.
            """
            def __init__(self, symbols=None, lookback=20, *, side: str):
                super().__init__(symbols=symbols, lookback=lookback)
            def generate_signals(self, bars):
                return always(len(bars))
        '''),
    "pair.py": MARKER + textwrap.dedent('''\
        from quorvane.trader_core.strategies import BaseStrategy as Base

        class Fast(Base):
            def generate_signals(self, bars):
                return [1] * len(bars)

        class Slow(Fast):
            def generate_signals(self, bars):
                return [-1] * len(bars)

        class Plain:
            def generate_signals(self, bars):
                return [0] * len(bars)
        '''),
    "boom.py": MARKER + textwrap.dedent('''\
        from quorvane.strategy import Strategy

        class Boom(Strategy):
            def generate_signals(self, bars):
                return [1 / 0.0 for bar in bars]
        '''),
    "signals_helper.py": "def always(n):\n    return [1] * n\n",
    "broken.py": "class Half(Strategy:\n",
}


@pytest.fixture
def folder(tmp_path):
    strategies = tmp_path / "strategies"
    strategies.mkdir()
    for name, text in FILES.items():
        (strategies / name).write_text(text)
    (tmp_path / "elsewhere").mkdir()
    return strategies


def quorvane(*args, cwd, env_path=None):
    env = {k: v for k, v in os.environ.items() if k != "QUORVANE_STRATEGY_PATH"}
    if env_path is not None:
        env["QUORVANE_STRATEGY_PATH"] = env_path
    script = Path(sys.executable).with_name("quorvane")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "quorvane"]
    return subprocess.run([*command, *map(str, args)], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("how", ["option", "environment"])
def test_list_reads_the_folder_without_running_it(folder, how):
    if how == "option":
        result = quorvane("list", "--json", "--strategy-path", folder, cwd=folder.parent)
    else:
        result = quorvane("list", "--json", cwd=folder.parent,
                          env_path=os.pathsep.join(["", str(folder / "missing"), str(folder)]))
    assert result.returncode == 0, result.stderr
    rows = [row for row in json.loads(result.stdout) if row["kind"] == "file"]
    assert [(row["name"], row["class"], row["source"], row["status"]) for row in rows] == [
        ("boom", "Boom", "strategies/boom.py", "ok"),
        ("breakout", "Breakout", "strategies/breakout.py", "ok"),
        ("broken", "", "strategies/broken.py", "failed"),
        ("Fast", "Fast", "strategies/pair.py", "ok"),
        ("Slow", "Slow", "strategies/pair.py", "ok"),
    ]
    assert rows[1]["description"] == "Breaks out."
    assert rows[2]["reason"].startswith("SyntaxError")
    assert list(folder.glob("*.ran")) == []


@pytest.mark.parametrize("command", ["run", "load"])
@pytest.mark.parametrize("name, cls", [("breakout", "Breakout"), ("Breakout", "Breakout"),
                                       ("slow", "Slow")])
def test_a_folder_strategy_runs_by_stem_or_class_name(folder, command, name, cls):
    # Its helper module imports although the command runs from another folder.
    result = quorvane(command, name, "--strategy-path", folder, "--param", "side=long",
                      cwd=folder.parent / "elsewhere")
    assert result.returncode == 0, result.stderr
    assert f"{cls}(" in result.stdout or f"strategy_module.{cls}" in result.stdout
    assert (folder / f"{'pair' if cls == 'Slow' else 'breakout'}.ran").exists()


def test_a_file_argument_imports_the_modules_beside_it(folder):
    result = quorvane("run", folder / "breakout.py", "--param", "side=long",
                      cwd=folder.parent / "elsewhere")
    assert result.returncode == 0, result.stderr


def test_describe_shows_parameters_with_defaults_and_documentation(folder):
    result = quorvane("describe", "Breakout", "--strategy-path", folder, cwd=folder.parent)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == ["class: strategy_module.Breakout", "source: strategies/breakout.py"]
    assert lines[lines.index("parameters:"):] == [
        "parameters:",
        "  lookback = 20",
        "      Bars in the channel, counted back from the bar before.",
        "  side: str (required)",
    ]
    builtin = quorvane("describe", "sma_momentum", cwd=folder.parent)
    assert builtin.returncode == 0 and "symbols: not used by this strategy" in builtin.stdout
    assert re.search(r"^  ma_period(: int)? = 20$", builtin.stdout, re.M)


@pytest.mark.parametrize("command", ["load", "run"])
def test_a_class_that_is_no_strategy_is_refused_before_it_is_constructed(tmp_path, command):
    (tmp_path / "tools.py").write_text(
        "import pathlib\n"
        "class Touch:\n"
        "    def __init__(self, **kwargs):\n"
        "        pathlib.Path('constructed').touch()\n")
    result = quorvane(command, "tools.Touch", cwd=tmp_path)
    assert result.returncode == 2
    assert "tools.Touch is not a strategy class" in result.stderr
    assert not (tmp_path / "constructed").exists()


ERRORS = [
    (["load", "missing.py"], "strategy file not found: missing.py"),
    (["load", "./missing.py"], "strategy file not found: ./missing.py"),
    (["run", "sma_momentm"], "Strategy 'sma_momentm' not found. Available built-in strategies: "
                             "['sma_momentum', "),
    (["run", "sma_momentm"], "; did you mean 'sma_momentum'?"),
    (["run", "brekout", "--strategy-path", "strategies"], "did you mean 'breakout'?"),
    (["load", "os.path"], "os.path is a module, not a strategy class"),
    (["load", "os.getcwd"], "os.getcwd is a function, not a strategy class"),
    (["load", "collections.OrderedDict"], "collections.OrderedDict is not a strategy class"),
    (["run", "collections.OrderedDict"], "collections.OrderedDict is not a strategy class"),
    (["load", "strategies/pair.py"], "holds several strategy classes: Fast, Slow; "
                                     "choose one with --class-name NAME"),
    (["load", "pair", "--strategy-path", "strategies"], "choose one with --class-name NAME"),
    (["describe", "strategies/pair.py"], "holds several strategy classes: Fast, Slow; "
                                         "choose one with --class-name NAME"),
    (["describe", "strategies/pair.py", "--class-name", "Plain"], "Plain is not a strategy class"),
    (["run", "strategies/pair.py", "--class-name", "Plain"], "Plain is not a strategy class"),
    (["load", "strategies/breakout.py", "--class-name", "always"],
     "always in {folder}/breakout.py is a function, not a strategy class"),
    (["load", "sma_momentum", "--param", "ma_perod=5"],
     "--param ma_perod: SMAMomentumStrategy has no parameter 'ma_perod'; it accepts ma_period; "
     "did you mean ma_period?"),
    (["load", "breakout", "--strategy-path", "strategies", "--param", "lookbak=5"],
     "it accepts lookback, side; did you mean lookback?"),
    (["run", "strategies/boom.py"],
     "ZeroDivisionError: float division by zero (strategies/boom.py, line 6, in generate_signals); "
     "rerun with --traceback for the full traceback"),
    (["list", "--strategy-path", "nowhere"], "strategy folder not found: nowhere"),
    (["run", "boom", "--strategy-path", "strategies", "--class-name", "X"],
     "Class 'X' not found in {folder}/boom.py"),
]


@pytest.mark.parametrize("args, message", ERRORS)
def test_each_mistake_is_one_line_that_says_what_to_do(folder, args, message):
    result = quorvane(*args, cwd=folder.parent)
    assert result.returncode == 2 and result.stdout == ""
    assert re.fullmatch(r"quorvane: error: [^\n]+\n", result.stderr), result.stderr
    assert message.format(folder=folder) in result.stderr
