"""load_strategy_from_file: executing a source file as "strategy_module",
choosing its strategy class and constructing it."""

from __future__ import annotations

import errno
import os
import pathlib
import sys
import types

import pytest

import quorvane.strategy_loader as sl
from quorvane.trader_core.strategies import SMAMomentumStrategy
from quorvane.trader_core.strategies.base import BaseStrategy

from loader_support import (
    MODULE_KEY,
    BadTruth,
    Boom,
    Recorder,
    entries,
    module_namespace,  # noqa: F401  (autouse fixture)
    hook_base,
    import_root,  # noqa: F401  (fixture)
    raising,
    strategy_module_slot,  # noqa: F401  (fixture)
    STRATEGY_IMPORTS,
    strategy_source,
    write,
)

load = sl.load_strategy_from_file
FN = "load_strategy_from_file"
STRATEGY_HEADER = STRATEGY_IMPORTS

pytestmark = pytest.mark.usefixtures("strategy_module_slot")


def loaded_module():
    return sys.modules[MODULE_KEY]


def one_strategy(tmp_path, name="one.py", bases="Strategy", extra=""):
    return write(tmp_path / name, strategy_source(("MyStrategy", bases), extra=extra))


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


# --- successful loads ------------------------------------------------------


@pytest.mark.parametrize("form", ["str", "Path", "pathlike", "relative", "relative-dotdot"])
def test_every_path_form_loads_the_file_under_the_fixed_module_name(tmp_path, monkeypatch, form):
    path = one_strategy(tmp_path)
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    argument = {
        "str": str(path),
        "Path": path,
        "pathlike": PathLike(path),
        "relative": "one.py",
        "relative-dotdot": os.path.join("sub", "..", "one.py"),
    }[form]

    strategy = load(argument)

    module = loaded_module()
    assert type(strategy) is module.MyStrategy
    assert type(strategy).__module__ == module.__name__ == MODULE_KEY
    assert module.__file__ == str(path.resolve())


def test_the_file_finds_itself_in_sys_modules_while_it_runs(tmp_path):
    path = one_strategy(
        tmp_path,
        extra="""
        import sys
        SEEN_WHILE_RUNNING = sys.modules[__name__]
        import strategy_module as IMPORTED_SELF
        """,
    )
    load(path)
    module = loaded_module()
    assert module.SEEN_WHILE_RUNNING is module
    assert module.IMPORTED_SELF is module


SYMBOL_CASES = [None, [], ["OGDC", "HBL"]]
CLASS_KINDS = [
    # bases of the chosen class, class_name, does it receive symbols
    pytest.param("Strategy", None, True, id="strategy"),
    pytest.param("Strategy, BaseStrategy", None, True, id="both"),
    pytest.param("BaseStrategy", None, False, id="base"),
    pytest.param("", "MyStrategy", False, id="neither-by-name"),
    pytest.param("BaseStrategy", "MyStrategy", False, id="base-by-name"),
    pytest.param("Strategy", "MyStrategy", True, id="strategy-by-name"),
]


@pytest.mark.parametrize("symbols", SYMBOL_CASES, ids=["none", "empty", "list"])
@pytest.mark.parametrize("bases, class_name, gets_symbols", CLASS_KINDS)
def test_constructor_keywords(tmp_path, symbols, bases, class_name, gets_symbols):
    path = one_strategy(tmp_path, bases=bases)
    strategy = load(path, symbols, class_name, zeta=2, alpha=1)

    received = strategy.received
    extras = [("zeta", 2), ("alpha", 1)]
    if not gets_symbols:
        assert received == extras
        return
    assert [name for name, _ in received] == ["symbols", "zeta", "alpha"]
    assert received[1:] == extras
    passed = received[0][1]
    if symbols:
        assert passed is symbols
    else:
        assert passed == [] and type(passed) is list and passed is not symbols


def test_symbols_and_class_name_by_keyword_never_reach_the_constructor_as_extras(tmp_path):
    path = one_strategy(tmp_path, bases="BaseStrategy")
    strategy = load(file_path=path, class_name="MyStrategy", symbols=["X"], period=3)
    assert strategy.received == [("period", 3)]


def test_an_imported_builtin_alone_is_the_strategy_class(tmp_path):
    path = write(tmp_path / "reexport.py", "from quorvane.trader_core.strategies import SMAMomentumStrategy\n")
    strategy = load(path, symbols=["X"], ma_period=7)
    assert type(strategy) is SMAMomentumStrategy
    assert strategy.ma_period == 7


def test_each_load_executes_the_file_again(tmp_path):
    path = one_strategy(tmp_path)
    first = load(path)
    first_module = loaded_module()
    second = load(path)
    assert type(first) is not type(second)
    assert loaded_module() is not first_module


def test_loading_two_files_in_turn_leaves_the_second_module(tmp_path):
    first = load(one_strategy(tmp_path, "first.py", extra="WHO = 'first'"))
    second = load(one_strategy(tmp_path, "second.py", extra="WHO = 'second'"))
    assert loaded_module().WHO == "second"
    assert type(second) is loaded_module().MyStrategy
    assert type(first) is not type(second)


def test_rebinding_strategy_on_the_module_decides_who_gets_symbols(tmp_path, monkeypatch):
    path = one_strategy(tmp_path, bases="BaseStrategy")
    symbols = ["X"]
    assert load(path, symbols).received == []
    monkeypatch.setattr(sl, "Strategy", BaseStrategy)
    assert load(path, symbols).received == [("symbols", symbols)]


def test_rebinding_internal_base_changes_what_the_scan_counts(tmp_path, monkeypatch):
    path = write(tmp_path / "plain.py", "class Mine:\n    def __init__(self, **kw):\n        self.received = list(kw.items())\n")
    monkeypatch.setattr(sl, "InternalBaseStrategy", hook_base(on_subclass=lambda sub: sub.__name__ == "Mine"))
    strategy = load(path, ["X"], k=1)
    assert type(strategy).__name__ == "Mine"
    assert strategy.received == [("k", 1)]


def test_rebinding_path_sys_and_importlib_takes_effect(tmp_path, monkeypatch, strategy_module_slot):
    path = one_strategy(tmp_path)
    argument = str(path)

    path_calls = Recorder()
    monkeypatch.setattr(sl, "Path", lambda arg: (path_calls(arg), pathlib.Path(arg))[1])
    fake_modules = {}
    monkeypatch.setattr(sl, "sys", types.SimpleNamespace(modules=fake_modules))
    spec_calls = Recorder()
    real_util = sl.importlib.util

    def spec_from_file_location(*args, **kwargs):
        spec_calls(*args, **kwargs)
        return real_util.spec_from_file_location(*args, **kwargs)

    monkeypatch.setattr(
        sl,
        "importlib",
        types.SimpleNamespace(
            util=types.SimpleNamespace(
                spec_from_file_location=spec_from_file_location,
                module_from_spec=real_util.module_from_spec,
            )
        ),
    )

    strategy = load(argument)

    assert path_calls.calls == [((argument,), [])]
    [(args, keywords)] = spec_calls.calls
    assert keywords == [] and args[0] == MODULE_KEY
    assert isinstance(args[1], pathlib.Path) and args[1] == path.resolve()
    assert type(strategy) is fake_modules[MODULE_KEY].MyStrategy
    assert sys.modules[MODULE_KEY] is strategy_module_slot


# --- choosing the class ----------------------------------------------------


def test_class_name_picks_one_of_several(tmp_path):
    path = write(tmp_path / "two.py", strategy_source(("First", "Strategy"), ("Second", "BaseStrategy")))
    strategy = load(path, ["X"], "Second")
    assert type(strategy).__name__ == "Second"
    assert strategy.received == []


@pytest.mark.parametrize("class_name", [None, ""], ids=["none", "empty"])
def test_empty_class_name_scans_like_none(tmp_path, class_name):
    single = one_strategy(tmp_path)
    assert type(load(single, None, class_name)).__name__ == "MyStrategy"
    double = write(tmp_path / "two.py", strategy_source(("First", "Strategy"), ("Second", "Strategy")))
    with pytest.raises(ValueError, match="^Multiple strategy classes found in "):
        load(double, None, class_name)


@pytest.mark.parametrize(
    "extra",
    [
        pytest.param("from quorvane.trader_core.strategies import SMAMomentumStrategy", id="imported-builtin"),
        pytest.param("Alias = MyStrategy", id="alias"),
        pytest.param("class Other(MyStrategy):\n    pass", id="subclass"),
    ],
)
def test_a_second_strategy_class_is_refused(tmp_path, extra):
    path = one_strategy(tmp_path, extra=extra)
    with pytest.raises(ValueError) as info:
        load(path)
    assert str(info.value) == (
        f"Multiple strategy classes found in {path.resolve()}. Specify class_name parameter."
    )
    assert entries(info.value) == [(FN, 181)]


@pytest.mark.parametrize(
    "source",
    [
        pytest.param("", id="empty-file"),
        pytest.param("from quorvane.strategy import Strategy\nfrom quorvane.trader_core.strategies.base import BaseStrategy\n", id="bases-only"),
        pytest.param("import quorvane.trader_core.strategies as s\nX = s.SMAMomentumStrategy(ma_period=3)\nclass Plain: pass\n", id="instance-and-plain-class"),
    ],
)
def test_no_strategy_class(tmp_path, source):
    path = write(tmp_path / "none.py", source)
    with pytest.raises(ValueError) as info:
        load(path)
    assert str(info.value) == (
        f"No strategy class found in {path.resolve()}. Define a class that inherits from Strategy or BaseStrategy."
    )
    assert entries(info.value) == [(FN, 188)]


EQUAL_META = """
class EqualMeta(type):
    def __ne__(cls, other):
        return other is not {target}
    def __eq__(cls, other):
        return other is {target}
    __hash__ = type.__hash__

class Odd(Strategy, metaclass=EqualMeta):
    pass
"""


@pytest.mark.parametrize("target", ["Strategy", "BaseStrategy"])
def test_a_class_that_compares_equal_to_a_base_is_skipped(tmp_path, target):
    alone = write(tmp_path / "alone.py", STRATEGY_HEADER + EQUAL_META.format(target=target))
    with pytest.raises(ValueError, match="^No strategy class found in "):
        load(alone)
    # With a real strategy class beside it, that class is the only one counted.
    beside = one_strategy(tmp_path, "beside.py", extra=EQUAL_META.format(target=target))
    assert type(load(beside)).__name__ == "MyStrategy"


TRAP = """
class TrapError(Exception):
    pass

def __dir__():
    # Deliberately unsorted: the scan follows dir(), which sorts.
    return ["zz_trap", "BStrategy", "AStrategy", "Strategy"]

def __getattr__(name):
    if name == "zz_trap":
        raise TrapError(name)
    raise AttributeError(name)
"""


def test_the_scan_stops_at_the_second_strategy_class(tmp_path):
    path = write(
        tmp_path / "trap.py",
        strategy_source(("AStrategy", "Strategy"), ("BStrategy", "Strategy"), extra=TRAP),
    )
    with pytest.raises(ValueError, match="^Multiple strategy classes found in "):
        load(path)


def test_the_scan_reaches_later_names_when_only_one_class_precedes_them(tmp_path):
    path = write(
        tmp_path / "trap.py",
        strategy_source(("AStrategy", "Strategy"), extra=TRAP.replace('"BStrategy", ', "")),
    )
    with pytest.raises(Exception) as info:
        load(path)
    assert type(info.value).__name__ == "TrapError"
    assert entries(info.value) == [(FN, 176)]


# --- named class -----------------------------------------------------------


def test_class_name_missing_after_the_file_ran(tmp_path, strategy_module_slot):
    path = one_strategy(tmp_path, extra="RAN = True")
    with pytest.raises(ValueError) as info:
        load(path, class_name="Nope")
    assert str(info.value) == f"Class 'Nope' not found in {path.resolve()}"
    assert entries(info.value) == [(FN, 170)]
    assert loaded_module() is not strategy_module_slot
    assert loaded_module().RAN is True


def test_class_name_naming_a_function_fails_the_subclass_test(tmp_path):
    path = one_strategy(tmp_path, extra="def helper():\n    pass")
    with pytest.raises(TypeError, match=r"^issubclass\(\) arg 1 must be a class$") as info:
        load(path, class_name="helper")
    assert entries(info.value) == [(FN, 194)]


GETATTR_HOOK = """
ERROR = {error}
CALLS = []

class Found({bases}):
    def __init__(self, **kw):
        self.received = list(kw.items())

def __getattr__(name):
    CALLS.append(name)
    if len(CALLS) > {succeed}:
        raise ERROR
    return Found
"""


@pytest.mark.parametrize(
    "error, succeed, outcome",
    [
        pytest.param("LookupError('no')", 0, 169, id="first-read-not-attributeerror"),
        pytest.param("type('Sub', (AttributeError,), {})('no')", 0, "absent", id="attributeerror-subclass-is-absence"),
        pytest.param("LookupError('no')", 1, 171, id="second-read-fails"),
        pytest.param("LookupError('no')", 2, "found", id="both-reads-succeed"),
    ],
)
def test_class_name_attribute_reads(tmp_path, error, succeed, outcome):
    path = write(tmp_path / "hook.py", STRATEGY_HEADER + GETATTR_HOOK.format(error=error, succeed=succeed, bases="Strategy"))
    if outcome == "found":
        assert load(path, class_name="Virtual").received == [("symbols", [])]
        assert loaded_module().CALLS == ["Virtual", "Virtual"]
        return
    with pytest.raises(Exception) as info:
        load(path, class_name="Virtual")
    if outcome == "absent":
        assert type(info.value) is ValueError
        assert str(info.value) == f"Class 'Virtual' not found in {path.resolve()}"
        assert entries(info.value) == [(FN, 170)]
    else:
        assert info.value is loaded_module().ERROR
        assert entries(info.value) == [(FN, outcome)]


# --- failure table ---------------------------------------------------------


@pytest.mark.parametrize(
    "source, line",
    [
        pytest.param("def __dir__():\n    raise LookupError('dir')\n", 175, id="dir-raises"),
        pytest.param("def __dir__():\n    return 5\n", 175, id="dir-not-iterable"),
        pytest.param("def __dir__():\n    return [5]\n", 176, id="name-not-a-string"),
        pytest.param(
            "def __dir__():\n    return ['x']\ndef __getattr__(name):\n    raise LookupError(name)\n", 176, id="getattr-raises"
        ),
        pytest.param(
            "from loader_support import RaisesOnNe\nclass Odd(Strategy, metaclass=RaisesOnNe):\n    pass\n",
            179,
            id="ne-raises",
        ),
        pytest.param(
            "from loader_support import FalsyNe\nclass Odd(Strategy, metaclass=FalsyNe):\n    pass\n",
            179,
            id="ne-result-truth-raises",
        ),
        pytest.param(
            "class MyStrategy(Strategy):\n    def __init__(self, **kw):\n        raise LookupError('ctor')\n", 195, id="strategy-ctor"
        ),
        pytest.param(
            "class MyStrategy(Strategy):\n    def __init__(self):\n        pass\n", 195, id="strategy-ctor-refuses-symbols"
        ),
        pytest.param(
            "class MyStrategy(BaseStrategy):\n    def __init__(self, **kw):\n        raise LookupError('ctor')\n", 197, id="base-ctor"
        ),
        pytest.param("X = 1\nraise LookupError('top level')\nY = 2\n", 165, id="top-level-raise"),
    ],
)
def test_failures_inside_the_file_propagate_with_the_step_line(tmp_path, strategy_module_slot, source, line):
    path = write(tmp_path / "bad.py", STRATEGY_HEADER + source)
    with pytest.raises(Exception) as info:
        load(path)
    assert entries(info.value) == [(FN, line)]
    # The module was registered before it ran, and stays.
    assert loaded_module() is not strategy_module_slot
    assert loaded_module().__file__ == str(path.resolve())


def test_a_top_level_exception_leaves_the_partly_executed_module(tmp_path):
    path = write(tmp_path / "half.py", "BEFORE = 1\nERROR = LookupError('half')\nraise ERROR\nAFTER = 2\n")
    with pytest.raises(LookupError) as info:
        load(path)
    module = loaded_module()
    assert info.value is module.ERROR
    assert module.BEFORE == 1 and not hasattr(module, "AFTER")


def test_a_syntax_error_reports_the_files_own_line(tmp_path):
    path = write(tmp_path / "syntax.py", "x = 1\ny = 2\ndef broken(:\n    pass\n")
    with pytest.raises(SyntaxError) as info:
        load(path)
    assert info.value.lineno == 3
    assert info.value.filename == str(path.resolve())
    assert entries(info.value) == [(FN, 165)]


def test_subclass_test_of_the_scan_fails(tmp_path, monkeypatch):
    path = one_strategy(tmp_path)
    error = Boom("subclass")
    monkeypatch.setattr(sl, "Strategy", hook_base(on_subclass=raising(error)))
    with pytest.raises(Boom) as info:
        load(path)
    assert info.value is error
    assert entries(info.value) == [(FN, 178)]


def test_a_directory_named_like_a_source_file_fails_when_read(tmp_path, strategy_module_slot):
    directory = tmp_path / "dir.py"
    directory.mkdir()
    with pytest.raises(IsADirectoryError) as info:
        load(directory)
    assert entries(info.value) == [(FN, 165)]
    assert loaded_module() is not strategy_module_slot


# --- failures before the module is registered ------------------------------


@pytest.fixture
def untouched_modules(strategy_module_slot):
    """Asserts that nothing was imported or registered during the test."""
    before = dict(sys.modules)
    yield
    assert sys.modules[MODULE_KEY] is strategy_module_slot
    assert dict(sys.modules) == before


@pytest.mark.usefixtures("untouched_modules")
class TestRefusedBeforeRunning:
    def test_missing_file(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as info:
            load("nothing_here.py")
        assert str(info.value) == f"Strategy file not found: {(tmp_path / 'nothing_here.py').resolve()}"
        assert entries(info.value) == [(FN, 156)]

    @pytest.mark.parametrize("kind", ["text", "directory", "no-suffix"])
    def test_nothing_to_load_it_with(self, tmp_path, monkeypatch, kind):
        monkeypatch.chdir(tmp_path)
        if kind == "text":
            write(tmp_path / "notes.txt", "class X: pass\n")
            name = "notes.txt"
        elif kind == "directory":
            (tmp_path / "folder").mkdir()
            name = "folder"
        else:
            write(tmp_path / "script", "class X: pass\n")
            name = "script"
        with pytest.raises(ValueError) as info:
            load(name)
        assert str(info.value) == f"Could not load strategy from {(tmp_path / name).resolve()}"
        assert entries(info.value) == [(FN, 161)]

    @pytest.mark.parametrize(
        "argument, error, line",
        [
            pytest.param(None, TypeError, 153, id="none"),
            pytest.param(5, TypeError, 153, id="int"),
            pytest.param(b"x.py", TypeError, 153, id="bytes"),
            pytest.param("\ud800.py", UnicodeEncodeError, 153, id="unencodable"),
            pytest.param("a\x00.py", ValueError, 153, id="nul"),
            pytest.param("n" * 300 + ".py", OSError, 155, id="long-name"),
            pytest.param(os.path.join(*["d" * 200] * 30) + ".py", OSError, 155, id="long-path"),
        ],
    )
    def test_unusable_paths_raise_cleanly(self, tmp_path, monkeypatch, argument, error, line):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(error) as info:
            load(argument)
        if error is OSError:
            assert info.value.errno == errno.ENAMETOOLONG
        assert entries(info.value) == [(FN, line)]

    @pytest.mark.parametrize("name, line", [("Path", 153), ("importlib", 159), ("sys", 164)])
    def test_deleted_module_names(self, tmp_path, monkeypatch, name, line):
        path = one_strategy(tmp_path)
        monkeypatch.delattr(sl, name)
        with pytest.raises(NameError) as info:
            load(path)
        assert str(info.value) == f"name '{name}' is not defined"
        assert entries(info.value) == [(FN, line)]

    @pytest.mark.parametrize(
        "util, line",
        [
            pytest.param({"spec_from_file_location": raising(Boom("spec"))}, 159, id="spec-raises"),
            pytest.param({"spec_from_file_location": lambda *a: None}, 161, id="no-spec"),
            pytest.param({"spec_from_file_location": lambda *a: types.SimpleNamespace(loader=None)}, 161, id="no-loader"),
            pytest.param({"spec_from_file_location": lambda *a: object()}, 160, id="loader-unreadable"),
            pytest.param(
                {
                    "spec_from_file_location": lambda *a: types.SimpleNamespace(loader=object()),
                    "module_from_spec": raising(Boom("module")),
                },
                163,
                id="module-from-spec-raises",
            ),
        ],
    )
    def test_import_machinery_failures(self, tmp_path, monkeypatch, util, line):
        path = one_strategy(tmp_path)
        monkeypatch.setattr(sl, "importlib", types.SimpleNamespace(util=types.SimpleNamespace(**util)))
        with pytest.raises((Boom, ValueError, AttributeError)) as info:
            load(path)
        if line == 161:
            assert type(info.value) is ValueError
            assert str(info.value) == f"Could not load strategy from {path.resolve()}"
        elif line == 160:
            assert type(info.value) is AttributeError
        else:
            assert type(info.value) is Boom
        assert entries(info.value) == [(FN, line)]

    def test_the_registration_itself_fails(self, tmp_path, monkeypatch):
        class Refusing(dict):
            def __setitem__(self, key, value):
                raise Boom(key)

        monkeypatch.setattr(sl, "sys", types.SimpleNamespace(modules=Refusing()))
        with pytest.raises(Boom, match=f"^{MODULE_KEY}$") as info:
            load(one_strategy(tmp_path))
        assert entries(info.value) == [(FN, 164)]

    @pytest.mark.parametrize("how", ["exists-raises", "exists-truth-raises"])
    def test_exists_failures(self, tmp_path, monkeypatch, how):
        class OddPath(type(pathlib.Path())):
            def exists(self):
                if how == "exists-raises":
                    raise Boom("exists")
                return BadTruth()

        monkeypatch.setattr(sl, "Path", OddPath)
        with pytest.raises(Boom) as info:
            load(one_strategy(tmp_path))
        assert entries(info.value) == [(FN, 155)]


@pytest.mark.parametrize(
    "name, source, class_name, line",
    [
        pytest.param("Strategy", "class MyStrategy(Strategy): pass\n", None, 178, id="strategy-scan"),
        pytest.param("Strategy", "class MyStrategy(Strategy): pass\n", "MyStrategy", 194, id="strategy-named"),
        # dir() order puts the imported BaseStrategy first; it is no Strategy
        # subclass, so the scan needs InternalBaseStrategy right away.
        pytest.param("InternalBaseStrategy", "class MyStrategy(Strategy): pass\n", None, 178, id="internal-base-scan"),
    ],
)
def test_deleted_base_names(tmp_path, monkeypatch, name, source, class_name, line):
    path = write(tmp_path / "s.py", STRATEGY_HEADER + source)
    monkeypatch.delattr(sl, name)
    with pytest.raises(NameError) as info:
        load(path, class_name=class_name)
    assert str(info.value) == f"name '{name}' is not defined"
    assert entries(info.value) == [(FN, line)]


def test_symbols_of_the_wrong_type_are_refused_before_the_path_is_resolved(monkeypatch, strategy_module_slot):
    monkeypatch.setattr(sl, "Path", raising(Boom("never")))
    with pytest.raises(TypeError, match=r"^Argument 'symbols' has incorrect type \(expected list, got tuple\)$") as info:
        load("x.py", ("A",))
    assert entries(info.value) == []
    with pytest.raises(TypeError, match=r"^Argument 'class_name' has incorrect type \(expected str, got int\)$"):
        load("x.py", None, 3)


# --- where the file lives --------------------------------------------------


def test_symlinks_are_reported_by_their_target(tmp_path):
    real = one_strategy(tmp_path, "real_strategy.py")
    link = tmp_path / "link.py"
    link.symlink_to(real)
    load(link)
    assert loaded_module().__file__ == str(real)

    text = write(tmp_path / "notes.txt", "x = 1\n")
    text_link = tmp_path / "text_link.py"
    text_link.symlink_to(text)
    with pytest.raises(ValueError) as info:
        load(text_link)
    assert str(info.value) == f"Could not load strategy from {text.resolve()}"

    dangling = tmp_path / "dangling.py"
    dangling.symlink_to(tmp_path / "gone.py")
    with pytest.raises(FileNotFoundError) as info:
        load(dangling)
    assert str(info.value) == f"Strategy file not found: {(tmp_path / 'gone.py').resolve()}"


class FormatFails(type(pathlib.Path())):
    def __format__(self, spec):
        raise Boom("format")


@pytest.mark.parametrize(
    "source, error, line",
    [
        pytest.param(None, Boom, 156, id="not-found"),
        pytest.param("x = 1\n", Boom, 189, id="no-class"),
        pytest.param(strategy_source(("A", "Strategy"), ("B", "Strategy")), Boom, 182, id="multiple"),
    ],
)
def test_building_a_message_fails(tmp_path, monkeypatch, source, error, line):
    path = tmp_path / "fmt.py"
    if source is not None:
        write(path, source)
    monkeypatch.setattr(sl, "Path", FormatFails)
    with pytest.raises(error, match="^format$") as info:
        load(str(path))
    assert entries(info.value) == [(FN, line)]


def test_sibling_modules_import_through_sys_path(tmp_path, import_root):
    write(
        import_root / "sibling_helpers.py",
        strategy_source(("SiblingStrategy", "Strategy")),
    )
    path = write(import_root / "uses_sibling.py", "from sibling_helpers import SiblingStrategy\n")
    strategy = load(path, ["X"])
    assert type(strategy).__module__ == "sibling_helpers"
    assert strategy.received[0][0] == "symbols"


def test_sibling_modules_are_not_found_off_sys_path(tmp_path):
    # The loader adds nothing to sys.path on the file's behalf.
    folder = tmp_path / "off_path"
    write(folder / "lonely_helper_7f3a.py", "X = 1\n")
    path = write(folder / "uses.py", "import lonely_helper_7f3a\n")
    with pytest.raises(ModuleNotFoundError) as info:
        load(path)
    assert entries(info.value) == [(FN, 165)]
    assert str(folder) not in sys.path


def test_the_second_base_is_only_consulted_when_the_first_says_no(tmp_path, monkeypatch):
    path = write(tmp_path / "s.py", "from quorvane.strategy import Strategy\n" + strategy_source(("MyStrategy", "Strategy")).split("\n", 2)[2])
    monkeypatch.setattr(sl, "InternalBaseStrategy", hook_base(on_subclass=raising(Boom("consulted"))))
    assert type(load(path)).__name__ == "MyStrategy"


def test_non_ascii_file_names(tmp_path):
    path = one_strategy(tmp_path, "策略_é.py")
    assert type(load(str(path))).__name__ == "MyStrategy"
    with pytest.raises(FileNotFoundError) as info:
        load(tmp_path / "ñ_missing.py")
    assert str(info.value) == f"Strategy file not found: {(tmp_path / 'ñ_missing.py').resolve()}"


def test_a_file_that_loads_another_file_while_it_runs(tmp_path):
    inner = one_strategy(tmp_path, "inner.py")
    outer = write(
        tmp_path / "outer.py",
        strategy_source(
            ("Outer", "Strategy"),
            extra=f"import quorvane.strategy_loader as loader\nINNER = loader.load_strategy_from_file({str(inner)!r})\n",
        ),
    )
    strategy = load(outer)
    assert type(strategy).__name__ == "Outer"
    # The nested load registered last, so its module holds the key.
    assert loaded_module().__file__ == str(inner.resolve())
