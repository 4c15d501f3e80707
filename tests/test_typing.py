"""The type information: the stubs match the compiled modules, the package
itself passes a strict type checker, which accepts correct user code of the
entry points and strategies and refuses wrong calls."""

import ast
import os
import subprocess
import sys
from importlib.resources import files
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "tests" / "typing_example.py"


def run(args, cwd):
    # From a scratch directory, so that the installed package is checked,
    # not the source tree.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    pytest.importorskip("mypy")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(*args, cwd):
        return run(["-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, args)], cwd)
    return check


def test_package_ships_stub_marker_and_sample_data():
    package = files("quorvane")
    assert package.joinpath("py.typed").is_file()
    assert "def load_strategy(" in package.joinpath("strategy_loader.pyi").read_text()
    assert package.joinpath("data", "sample_daily.csv").is_file()


def test_stub_carries_the_runtime_docstrings():
    # Documentation tools and editors read them from the stub.
    import quorvane.strategy_loader as sl
    tree = ast.parse(files("quorvane").joinpath("strategy_loader.pyi").read_text())
    assert ast.get_docstring(tree, clean=False) == sl.__doc__
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert sorted({f.name for f in functions}) == sorted(sl.__all__[:5])
    for function in functions:
        assert ast.get_docstring(function, clean=False) == getattr(sl, function.name).__doc__, function.name
    # Editors that ignore the bound of a type variable take the first
    # overload a str matches: it must be the one that returns a strategy.
    # And a class must meet its own overload before the instance one, or such
    # editors infer the class itself for load_strategy(MyStrategy).
    overloads = [ast.unparse(f.args.args[0].annotation) for f in functions if f.name == "load_strategy"]
    assert overloads == ["str", "type[_S]", "_S"]


@pytest.mark.tooling
def test_stubs_match_the_compiled_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = run(["-m", "mypy.stubtest", "quorvane.strategy_loader", "quorvane._kernels"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.tooling
def test_the_package_passes_strict_checking(tmp_path):
    pytest.importorskip("mypy")
    # The source tree, with the settings of pyproject.toml (strict).
    result = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path)],
                            cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.tooling
def test_example_script_passes_strict_checking_and_runs(mypy, tmp_path):
    checked = mypy(EXAMPLE, cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # The types it asserts are the ones it gets at run time.
    ran = run([str(EXAMPLE)], tmp_path)
    assert ran.returncode == 0, ran.stderr


WRONG_CALLS = {
    "load_strategy('sma_momentum', symbols='OGDC')": 'argument types "str", "str"',
    "load_strategy(42)": "No overload variant",
    "load_strategy_from_file(b'x.py')": 'incompatible type "bytes"',
    "load_strategy_from_file('x.py', class_name=3)": 'Argument "class_name"',
    "load_strategy_from_module(None)": 'incompatible type "None"',
    "register_strategy('x', int)": 'incompatible type "type[int]"',
    "list_strategies(1)": "Too many arguments",
    "BUILTIN_STRATEGIES['x'] = 'not a class'": "assignment",
}


def test_wrong_calls_are_refused(mypy, tmp_path):
    lines = ["from quorvane.strategy_loader import *"] + list(WRONG_CALLS)
    (tmp_path / "wrong.py").write_text("\n".join(lines) + "\n")
    result = mypy("wrong.py", cwd=tmp_path)
    errors = {}
    for line in result.stdout.splitlines():
        if ": error: " in line:
            errors.setdefault(int(line.split(":")[1]), []).append(line)
    for number, (call, expected) in enumerate(WRONG_CALLS.items(), start=2):
        assert any(expected in e for e in errors.get(number, [])), (call, result.stdout)
