"""load_strategy_from_module: 'package.module.ClassName' to an instance."""

from __future__ import annotations

import collections
import sys
import types

import pytest

import loader_support
import quorvane.strategy_loader as sl
from quorvane.trader_core.strategies.base import BaseStrategy

from loader_support import (
    SUBCLASS_NOTE,
    Boom,
    Recorder,
    entries,
    module_namespace,  # noqa: F401  (autouse fixture)
    hook_base,
    import_root,  # noqa: F401  (fixture)
    package,
    raising,
)

load = sl.load_strategy_from_module
FN = "load_strategy_from_module"
SUPPORT = loader_support.__name__


def dotted(name: str) -> str:
    return f"{SUPPORT}.{name}"


@pytest.mark.parametrize("symbols", [None, [], ["OGDC", "HBL"]], ids=["none", "empty", "list"])
@pytest.mark.parametrize(
    "class_name, gets_symbols",
    [
        ("RecordingStrategy", True),
        ("RecordingBoth", True),
        ("RecordingBase", False),
        ("RecordingPlain", False),
    ],
)
def test_constructor_keywords(symbols, class_name, gets_symbols):
    strategy = load(dotted(class_name), symbols, zeta=2, alpha=1)
    assert type(strategy) is getattr(loader_support, class_name)
    extras = [("zeta", 2), ("alpha", 1)]
    if not gets_symbols:
        assert strategy.received == extras
        return
    assert [name for name, _ in strategy.received] == ["symbols", "zeta", "alpha"]
    assert strategy.received[1:] == extras
    passed = strategy.received[0][1]
    if symbols:
        assert passed is symbols
    else:
        assert passed == [] and type(passed) is list and passed is not symbols


def test_an_unrelated_class_is_built_from_the_extra_keywords():
    result = load("collections.OrderedDict", ["X"], zeta=2, alpha=1)
    assert type(result) is collections.OrderedDict
    assert list(result.items()) == [("zeta", 2), ("alpha", 1)]


def test_a_nested_package_path(import_root):
    package(
        import_root,
        "qv_pkg.sub.mod",
        "from quorvane.strategy import Strategy\n"
        "class Cls(Strategy):\n"
        "    def __init__(self, **kw):\n"
        "        self.received = list(kw.items())\n",
    )
    symbols = ["OGDC"]
    strategy = load("qv_pkg.sub.mod.Cls", symbols=symbols, ma_period=20)
    assert type(strategy) is sys.modules["qv_pkg.sub.mod"].Cls
    assert strategy.received == [("symbols", symbols), ("ma_period", 20)]
    assert strategy.received[0][1] is symbols


class FakeModule:
    def __init__(self):
        self.looked_up = []

    def __getattr__(self, name):
        self.looked_up.append(name)
        return loader_support.RecordingPlain


@pytest.mark.parametrize(
    "path, module_name, class_name",
    [
        ("a.b.C", "a.b", "C"),
        (" a . B ", " a ", " B "),
        ("x.py.Cls", "x.py", "Cls"),
        ("a..B", "a.", "B"),
        (".Cls", "", "Cls"),
        ("pkg.mod.", "pkg.mod", ""),
        ("1.2.3", "1.2", "3"),
    ],
)
def test_the_path_is_split_at_the_last_dot_and_used_as_it_stands(monkeypatch, path, module_name, class_name):
    module = FakeModule()
    importer = Recorder(result=module)
    monkeypatch.setattr(sl, "importlib", types.SimpleNamespace(import_module=importer))
    assert load(path, k=1).received == [("k", 1)]
    assert importer.calls == [((module_name,), [])]
    assert module.looked_up == [class_name]


@pytest.mark.parametrize(
    "path, error, message, line",
    [
        pytest.param("MyStrategy", ValueError, "Invalid module path: MyStrategy", 218, id="no-dot"),
        pytest.param("", ValueError, "Invalid module path: ", 218, id="empty"),
        pytest.param(".Cls", ValueError, "Empty module name", 223, id="leading-dot"),
        pytest.param("zz_absent_pkg_q1..B", ModuleNotFoundError, "No module named 'zz_absent_pkg_q1'", 223, id="double-dot"),
        pytest.param("collections..B", ModuleNotFoundError, "No module named 'collections.'", 223, id="double-dot-in-package"),
        pytest.param("zz_absent_mod_q1.Cls", ModuleNotFoundError, "No module named 'zz_absent_mod_q1'", 223, id="no-module"),
        pytest.param("collections.abc.", AttributeError, "module 'collections.abc' has no attribute ''", 224, id="trailing-dot"),
        pytest.param("collections.NoSuchThing", AttributeError, "module 'collections' has no attribute 'NoSuchThing'", 224, id="no-attribute"),
        pytest.param(dotted("not_a_class"), TypeError, "issubclass() arg 1 must be a class", 226, id="function"),
        pytest.param("os.sep", TypeError, "issubclass() arg 1 must be a class", 226, id="string-attribute"),
        pytest.param(dotted("StrategyRaising"), Boom, "strategy constructor", 227, id="strategy-ctor"),
        pytest.param(dotted("BaseRaising"), Boom, "base constructor", 229, id="base-ctor"),
        pytest.param(dotted("PlainRaising"), Boom, "plain constructor", 229, id="plain-ctor"),
    ],
)
def test_failures(path, error, message, line):
    with pytest.raises(error) as info:
        load(path, ["X"])
    assert type(info.value) is error
    assert str(info.value) == message
    assert entries(info.value) == [(FN, line)]


def test_a_strategy_that_refuses_symbols_fails_in_its_constructor():
    with pytest.raises(TypeError, match="unexpected keyword argument 'symbols'") as info:
        load(dotted("StrategyWithoutSymbols"))
    assert entries(info.value) == [(FN, 227)]


def test_an_invalid_path_fails_before_any_import(monkeypatch):
    monkeypatch.setattr(sl, "importlib", types.SimpleNamespace(import_module=raising(Boom("imported"))))
    with pytest.raises(ValueError, match="^Invalid module path: x$"):
        load("x")


def test_the_module_stays_imported_when_a_later_step_fails(import_root):
    package(import_root, "qv_keep.mod", "def helper():\n    pass\n")
    with pytest.raises(TypeError) as info:
        load("qv_keep.mod.helper")
    assert entries(info.value) == [(FN, 226)]
    assert "qv_keep.mod" in sys.modules


def test_an_error_while_the_module_runs_passes_unchanged(import_root):
    package(import_root, "qv_broken", "ERROR = LookupError('at import')\nraise ERROR\n")
    with pytest.raises(LookupError, match="^at import$") as info:
        load("qv_broken.Cls")
    assert entries(info.value) == [(FN, 223)]


@pytest.mark.parametrize("name, line", [("importlib", 223), ("Strategy", 226)])
def test_deleted_module_names(monkeypatch, name, line):
    monkeypatch.delattr(sl, name)
    with pytest.raises(NameError) as info:
        load(dotted("RecordingStrategy"))
    assert str(info.value) == f"name '{name}' is not defined"
    assert entries(info.value) == [(FN, line)]


def test_internal_base_is_not_consulted(monkeypatch):
    monkeypatch.delattr(sl, "InternalBaseStrategy")
    assert load(dotted("RecordingBase"), ["X"]).received == []


def test_rebinding_strategy_decides_who_gets_symbols(monkeypatch):
    symbols = ["X"]
    monkeypatch.setattr(sl, "Strategy", BaseStrategy)
    assert load(dotted("RecordingBase"), symbols).received == [("symbols", symbols)]
    assert load(dotted("RecordingPlain"), symbols).received == []


def test_a_raising_subclass_hook_passes_unchanged(monkeypatch):
    error = Boom("hook")
    monkeypatch.setattr(sl, "Strategy", hook_base(on_subclass=raising(error)))
    with pytest.raises(Boom) as info:
        load(dotted("RecordingStrategy"))
    assert info.value is error
    assert entries(info.value) == [(FN, 226)]


class MyStr(str):
    pass


class MyList(list):
    pass


@pytest.mark.parametrize(
    "args, message, note",
    [
        ((None,), "Argument 'module_path' has incorrect type (expected str, got NoneType)", False),
        ((MyStr("a.B"),), "Argument 'module_path' has incorrect type (expected str, got MyStr)", True),
        (("a.B", ("X",)), "Argument 'symbols' has incorrect type (expected list, got tuple)", False),
        (("a.B", MyList(["X"])), "Argument 'symbols' has incorrect type (expected list, got MyList)", True),
    ],
)
def test_argument_types_are_checked_before_anything_is_imported(monkeypatch, args, message, note):
    monkeypatch.setattr(sl, "importlib", types.SimpleNamespace(import_module=raising(Boom("imported"))))
    with pytest.raises(TypeError) as info:
        load(*args)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([SUBCLASS_NOTE] if note else [])
    assert entries(info.value) == []


def test_symbols_by_position_and_keyword():
    with pytest.raises(TypeError) as info:
        load("a.B", [], symbols=[])
    assert str(info.value) == "load_strategy_from_module() got multiple values for keyword argument 'symbols'"
    assert entries(info.value) == [(FN, 200)]
