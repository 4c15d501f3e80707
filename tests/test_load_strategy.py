"""load_strategy: telling the kinds of specification apart and routing each
to the right constructor or loader."""

from __future__ import annotations

import collections.abc
import os
import pathlib
from unittest import mock

import pytest

import quorvane.strategy_loader as sl
from quorvane.trader_core import strategies as builtin_strategies

from loader_support import (
    BUILTIN_NAMES,
    SUBCLASS_NOTE,
    BaseRaising,
    Boom,
    RecordingBase,
    RecordingBoth,
    RecordingPlain,
    RecordingStrategy,
    Recorder,
    StrategyRaising,
    StrategyWithoutSymbols,
    entries,
    module_namespace,  # noqa: F401  (autouse fixture)
    hook_base,
    raising,
    registry,  # noqa: F401  (fixture)
    strategy_module_slot,  # noqa: F401  (fixture)
    strategy_source,
    write,
)

load = sl.load_strategy
FN = "load_strategy"
NOT_FOUND = "Strategy '{}' not found. Available built-in strategies: {}"


def keyword_names(strategy):
    return [name for name, _ in strategy.received]


# --- instances and classes -------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [RecordingStrategy, RecordingBase, RecordingBoth, lambda: builtin_strategies.SMAMomentumStrategy(ma_period=3)],
    ids=["strategy", "base", "both", "builtin"],
)
def test_an_instance_comes_back_as_itself(make):
    instance = make()
    assert load(instance, ["X"], unused=1) is instance


@pytest.mark.parametrize("symbols", [None, [], ["OGDC", "HBL"]], ids=["none", "empty", "list"])
@pytest.mark.parametrize(
    "cls, gets_symbols",
    [(RecordingStrategy, True), (RecordingBoth, True), (RecordingBase, False)],
    ids=["strategy", "both", "base"],
)
def test_a_class_is_constructed(symbols, cls, gets_symbols):
    strategy = load(cls, symbols, zeta=2, alpha=1)
    assert type(strategy) is cls
    extras = [("zeta", 2), ("alpha", 1)]
    if not gets_symbols:
        assert strategy.received == extras
        return
    assert keyword_names(strategy) == ["symbols", "zeta", "alpha"]
    assert strategy.received[1:] == extras
    passed = strategy.received[0][1]
    if symbols:
        assert passed is symbols
    else:
        assert passed == [] and type(passed) is list and passed is not symbols


@pytest.mark.parametrize("cls", [RecordingPlain, int, object])
def test_a_class_of_neither_base_is_refused(cls):
    with pytest.raises(ValueError) as info:
        load(cls)
    assert str(info.value) == "Strategy class must inherit from Strategy or BaseStrategy"
    assert entries(info.value) == [(FN, 109)]


@pytest.mark.parametrize(
    "spec, text",
    [
        (None, "<class 'NoneType'>"),
        (5, "<class 'int'>"),
        (1.5, "<class 'float'>"),
        (b"sma_momentum", "<class 'bytes'>"),
        (pathlib.Path("x.py"), "<class 'pathlib.PosixPath'>"),
        (["sma_momentum"], "<class 'list'>"),
    ],
)
def test_anything_else_is_an_invalid_specification(spec, text):
    with pytest.raises(ValueError) as info:
        load(spec)
    assert str(info.value) == f"Invalid strategy specification: {text}"
    assert entries(info.value) == [(FN, 132)]


# --- built-in and registered names -----------------------------------------


@pytest.mark.parametrize("spec", ["sma_momentum", "SMA_Momentum", "SMA_MOMENTUM", "sMa_MoMeNtUm"])
def test_builtin_names_match_in_any_case(spec):
    strategy = load(spec, ma_period=7)
    assert type(strategy) is builtin_strategies.SMAMomentumStrategy
    assert strategy.ma_period == 7


@pytest.mark.parametrize("name", BUILTIN_NAMES)
def test_builtins_never_receive_symbols(name):
    # Their constructors take keyword-only parameters and would refuse `symbols`.
    strategy = load(name, symbols=["OGDC"])
    assert type(strategy) is sl.BUILTIN_STRATEGIES[name]


def test_class_name_reaches_a_registered_constructor(registry):
    sl.register_strategy("recorded", RecordingBase)
    assert load("recorded", class_name="Picked").received == [("class_name", "Picked")]
    with pytest.raises(TypeError, match="class_name") as info:
        load("sma_momentum", class_name="Picked")
    assert entries(info.value) == [(FN, 116)]


def test_the_spec_object_decides_the_lowered_name():
    class Alias(str):
        def lower(self):
            return "sma_momentum"

    assert type(load(Alias("anything at all"))) is builtin_strategies.SMAMomentumStrategy


def test_the_registry_is_consulted_before_the_file_system(registry, tmp_path, monkeypatch, strategy_module_slot):
    monkeypatch.chdir(tmp_path)
    # Files named like registry entries, which would fail if executed.
    write(tmp_path / "sma_momentum", "raise SystemExit('touched')\n")
    write(tmp_path / "mine.py", "raise SystemExit('touched')\n")
    sl.register_strategy("mine.py", RecordingBase)
    monkeypatch.setattr(sl, "Path", raising(Boom("file system consulted")))
    file_loader = Recorder()
    monkeypatch.setattr(sl, "load_strategy_from_file", file_loader)

    assert type(load("sma_momentum")) is builtin_strategies.SMAMomentumStrategy
    assert type(load("MINE.py")) is RecordingBase
    assert file_loader.calls == []
    assert sl.sys.modules["strategy_module"] is strategy_module_slot


# The registry path with symbols: a caller's symbols list reaches a
# registered Strategy subclass instead of being dropped.


@pytest.mark.parametrize(
    "cls, gets_symbols",
    [(RecordingStrategy, True), (RecordingBoth, True), (RecordingBase, False)],
    ids=["strategy", "both", "base"],
)
@pytest.mark.parametrize("symbols", [None, [], ["OGDC"]], ids=["none", "empty", "list"])
def test_a_registered_class_receives_the_callers_symbols(registry, cls, gets_symbols, symbols):
    sl.register_strategy("mine", cls)
    strategy = load("MINE", symbols=symbols, zeta=2, alpha=1)
    assert type(strategy) is cls
    extras = [("zeta", 2), ("alpha", 1)]
    if gets_symbols and symbols:
        assert strategy.received == [("symbols", symbols)] + extras
        assert strategy.received[0][1] is symbols
    else:
        # Nothing beyond the plain call: no `symbols` keyword at all.
        assert strategy.received == extras


def test_a_registered_factory_never_receives_symbols(registry):
    factory = Recorder()
    registry["factory"] = factory
    assert load("factory", ["OGDC"], zeta=2) is factory.result
    assert factory.calls == [((), [("zeta", 2)])]


def test_the_subclass_test_of_a_registered_class(registry, monkeypatch):
    sl.register_strategy("mine", RecordingStrategy)
    error = Boom("subclass hook")
    subclass_checks = []

    def on_subclass(sub):
        subclass_checks.append(sub)
        raise error

    monkeypatch.setattr(sl, "Strategy", hook_base(on_subclass=on_subclass))
    with pytest.raises(Boom) as info:
        load("mine", ["OGDC"])
    assert info.value is error
    assert entries(info.value) == [(FN, 116)]

    # Without symbols there is nothing to decide: no subclass test is made.
    subclass_checks.clear()
    assert load("mine", [], k=1).received == [("k", 1)]
    assert subclass_checks == []


def test_a_registered_constructor_that_refuses_symbols_fails_at_the_call(registry):
    sl.register_strategy("narrow", StrategyWithoutSymbols)
    assert type(load("narrow")) is StrategyWithoutSymbols
    with pytest.raises(TypeError, match="symbols") as info:
        load("narrow", ["OGDC"])
    assert entries(info.value) == [(FN, 116)]


# --- strings that are not names --------------------------------------------


@pytest.fixture
def loaders(monkeypatch):
    """Both delegated loaders replaced by recorders (patch.object, as a caller would)."""
    file_loader, module_loader = Recorder(), Recorder()
    with mock.patch.object(sl, "load_strategy_from_file", file_loader), mock.patch.object(
        sl, "load_strategy_from_module", module_loader
    ):
        yield file_loader, module_loader


@pytest.mark.parametrize("symbols", [None, [], ["OGDC"]], ids=["none", "empty", "list"])
def test_an_existing_py_file_goes_to_the_file_loader_as_a_path(tmp_path, monkeypatch, loaders, symbols):
    file_loader, module_loader = loaders
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "strategies" / "my.py", "x = 1\n")
    spec = "strategies/my.py"

    assert load(spec, symbols, zeta=2, class_name="C", alpha=1) is file_loader.result

    [(args, keywords)] = file_loader.calls
    assert len(args) == 1 and type(args[0]) is type(pathlib.Path()) and args[0] == pathlib.Path(spec)
    assert keywords == [("symbols", symbols), ("zeta", 2), ("class_name", "C"), ("alpha", 1)]
    assert keywords[0][1] is symbols
    assert module_loader.calls == []


@pytest.mark.parametrize(
    "make, name",
    [
        ("file", "upper.PY"),
        ("file", "notes.txt"),
        ("missing", "strategies/absent.py"),
        ("missing", "pkg.mod.Cls"),
        ("dir", "folder.d"),
    ],
)
def test_other_dotted_strings_go_to_the_module_loader_unchanged(tmp_path, monkeypatch, loaders, make, name):
    file_loader, module_loader = loaders
    monkeypatch.chdir(tmp_path)
    if make == "file":
        write(tmp_path / name, "x = 1\n")
    elif make == "dir":
        (tmp_path / name).mkdir()
    spec = "".join(name)  # a distinct object with the same text
    symbols = []

    assert load(spec, symbols, zeta=2) is module_loader.result

    [(args, keywords)] = module_loader.calls
    assert args == (spec,) and args[0] is spec
    assert keywords == [("symbols", symbols), ("zeta", 2)] and keywords[0][1] is symbols
    assert file_loader.calls == []


def test_a_directory_named_like_a_source_file_passes_the_file_test(tmp_path, monkeypatch, loaders):
    file_loader, module_loader = loaders
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.py").mkdir()
    load("x.py")
    assert [args for args, _ in file_loader.calls] == [(pathlib.Path("x.py"),)]
    assert module_loader.calls == []


def test_class_name_chooses_the_class_inside_a_file(tmp_path, monkeypatch, strategy_module_slot):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "two.py", strategy_source(("First", "Strategy"), ("Second", "Strategy")))
    symbols = ["OGDC"]
    strategy = load("two.py", symbols, class_name="Second", zeta=2)
    assert type(strategy).__name__ == "Second"
    assert strategy.received == [("symbols", symbols), ("zeta", 2)]
    assert strategy.received[0][1] is symbols


def test_failures_of_the_real_loaders_reach_the_caller(tmp_path, monkeypatch, strategy_module_slot):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "empty.py", "x = 1\n")
    with pytest.raises(ValueError, match="^No strategy class found in ") as info:
        load("empty.py")
    assert entries(info.value) == [(FN, 121), ("load_strategy_from_file", 188)]

    with pytest.raises(ModuleNotFoundError, match="^No module named 'strategies/my'$") as info:
        load("strategies/my.py")
    assert entries(info.value) == [(FN, 125), ("load_strategy_from_module", 223)]


def test_a_str_subclass_meets_the_exact_type_test_of_the_module_loader():
    class MyStr(str):
        pass

    with pytest.raises(TypeError) as info:
        load(MyStr("pkg.mod.Cls"))
    assert str(info.value) == "Argument 'module_path' has incorrect type (expected str, got MyStr)"
    assert info.value.__notes__ == [SUBCLASS_NOTE]
    assert entries(info.value) == [(FN, 125)]


@pytest.mark.parametrize("spec", ["foo", "", "FoO", "no_such"])
def test_a_string_that_matches_nothing(spec, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as info:
        load(spec)
    assert str(info.value) == NOT_FOUND.format(spec, BUILTIN_NAMES)
    assert entries(info.value) == [(FN, 127)]


def test_the_not_found_message_lists_the_registry_in_order(registry):
    expected = (
        "Strategy 'foo' not found. Available built-in strategies: ['sma_momentum', 'dual_sma_momentum', "
        "'rsi_momentum', 'macd_crossover', 'bollinger_mean_reversion', 'vwap_reversion']"
    )
    with pytest.raises(ValueError) as info:
        load("foo")
    assert str(info.value) == expected
    sl.register_strategy("Zeta", RecordingBase)
    sl.register_strategy("alpha", RecordingStrategy)
    with pytest.raises(ValueError) as info:
        load("foo")
    assert str(info.value) == NOT_FOUND.format("foo", BUILTIN_NAMES + ["zeta", "alpha"])


def test_rebinding_the_registry_redirects_names(registry):
    with mock.patch.object(sl, "BUILTIN_STRATEGIES", {"custom": RecordingBase}):
        assert type(load("CUSTOM", k=1)) is RecordingBase
        with pytest.raises(ValueError) as info:
            load("sma_momentum")
        assert str(info.value) == NOT_FOUND.format("sma_momentum", ["custom"])
    assert type(load("sma_momentum")) is builtin_strategies.SMAMomentumStrategy


def test_rebinding_path_changes_the_file_test(tmp_path, monkeypatch, loaders):
    file_loader, _ = loaders
    made = []

    class EverythingExists(type(pathlib.Path())):
        def exists(self):
            made.append(self)
            return True

    with mock.patch.object(sl, "Path", EverythingExists):
        load("nowhere/at_all.py")
    [(args, _)] = file_loader.calls
    assert type(args[0]) is EverythingExists and args[0] is made[0]


# --- failures propagate with the line of their step ------------------------


class StrictMapping(collections.abc.Mapping):
    """Registry stand-in that fails at one chosen operation."""

    def __init__(self, fail_at, error):
        self.data = {"mine": RecordingBase}
        self.fail_at, self.error = fail_at, error

    def _check(self, operation):
        if operation == self.fail_at:
            raise self.error

    def __contains__(self, key):
        self._check("contains")
        return key in self.data

    def __getitem__(self, key):
        self._check("getitem")
        return self.data[key]

    def keys(self):
        self._check("keys")
        return self.data.keys()

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class LowerFails(str):
    """lower() succeeds `ok` times, then raises."""

    def __new__(cls, text, ok, error):
        self = super().__new__(cls, text)
        self.ok, self.error = ok, error
        return self

    def lower(self):
        if self.ok == 0:
            raise self.error
        self.ok -= 1
        return str.lower(self)


class ContainsFails(str):
    def __contains__(self, item):
        raise self.error


class FormatFails(str):
    def __format__(self, spec):
        raise self.error


class FormatFailsMeta(type):
    def __format__(cls, spec):
        raise cls.error


def path_class(**overrides):
    return type("OddPath", (type(pathlib.Path()),), overrides)


def failure_rows():
    def rows():
        # (id, spec factory, module patches factory, line)
        yield "instance-hook-strategy", lambda e: RecordingPlain(), lambda e: {"Strategy": hook_base(on_instance=raising(e))}, 99
        yield "instance-hook-base", lambda e: RecordingPlain(), lambda e: {"InternalBaseStrategy": hook_base(on_instance=raising(e))}, 99
        yield "subclass-hook-strategy", lambda e: RecordingPlain, lambda e: {"Strategy": hook_base(on_subclass=raising(e))}, 104
        yield "subclass-hook-base", lambda e: RecordingPlain, lambda e: {"InternalBaseStrategy": hook_base(on_subclass=raising(e))}, 106
        yield "strategy-ctor", lambda e: StrategyRaising, lambda e: {}, 105
        yield "base-ctor", lambda e: BaseRaising, lambda e: {}, 107
        yield "lower-first", lambda e: LowerFails("sma_momentum", 0, e), lambda e: {}, 114
        yield "lower-second", lambda e: LowerFails("sma_momentum", 1, e), lambda e: {}, 115
        yield "registry-contains", lambda e: "mine", lambda e: {"BUILTIN_STRATEGIES": StrictMapping("contains", e)}, 114
        yield "registry-getitem", lambda e: "mine", lambda e: {"BUILTIN_STRATEGIES": StrictMapping("getitem", e)}, 115
        yield "registry-ctor", lambda e: "mine", lambda e: {"BUILTIN_STRATEGIES": {"mine": raising(e)}}, 116
        yield "path-call", lambda e: "a.py", lambda e: {"Path": raising(e)}, 119
        yield "path-exists", lambda e: "a.py", lambda e: {"Path": path_class(exists=raising(e))}, 120
        yield "path-exists-truth", lambda e: "a.py", lambda e: {"Path": path_class(exists=lambda self: _truth_raises(e))}, 120
        yield "path-suffix", lambda e: "a.py", lambda e: {"Path": path_class(exists=lambda self: True, suffix=property(raising(e)))}, 120
        yield "suffix-compare", lambda e: "a.py", lambda e: {"Path": path_class(exists=lambda self: True, suffix=property(lambda self: _eq_raises(e)))}, 120
        yield "file-loader", lambda e: "a.py", lambda e: {"Path": path_class(exists=lambda self: True), "load_strategy_from_file": raising(e)}, 121
        yield "contains", lambda e: _with_error(ContainsFails("pkg.mod"), e), lambda e: {}, 124
        yield "module-loader", lambda e: "pkg.mod.Cls", lambda e: {"load_strategy_from_module": raising(e)}, 125
        yield "spec-text", lambda e: _with_error(FormatFails("nodots"), e), lambda e: {}, 128
        yield "registry-keys", lambda e: "nodots", lambda e: {"BUILTIN_STRATEGIES": StrictMapping("keys", e)}, 129
        yield "type-text", lambda e: _instance_of_unformattable_type(e), lambda e: {}, 132

    return [pytest.param(spec, patches, line, id=name) for name, spec, patches, line in rows()]


def _with_error(obj, error):
    obj.error = error
    return obj


def _truth_raises(error):
    class Truth:
        def __bool__(self):
            raise error

    return Truth()


def _eq_raises(error):
    class Eq:
        def __eq__(self, other):
            raise error

        __hash__ = object.__hash__

    return Eq()


def _instance_of_unformattable_type(error):
    cls = FormatFailsMeta("Unformattable", (), {"error": error})
    return cls()


@pytest.mark.parametrize("make_spec, make_patches, line", failure_rows())
def test_failures_pass_unchanged_with_the_line_of_their_step(tmp_path, monkeypatch, make_spec, make_patches, line):
    monkeypatch.chdir(tmp_path)
    error = Boom("from a hook")
    for name, value in make_patches(error).items():
        monkeypatch.setattr(sl, name, value)
    spec = make_spec(error)
    with pytest.raises(Boom) as info:
        load(spec, ["OGDC"])
    if line not in (105, 107):  # those constructors raise their own Boom
        assert info.value is error
    assert entries(info.value) == [(FN, line)]


@pytest.mark.parametrize(
    "name, spec, line",
    [
        ("Strategy", "sma_momentum", 99),
        ("InternalBaseStrategy", "sma_momentum", 99),
        ("BUILTIN_STRATEGIES", "sma_momentum", 114),
        ("Path", "nodots", 119),
        ("load_strategy_from_module", "pkg.mod.Cls", 125),
    ],
)
def test_deleted_module_names(tmp_path, monkeypatch, name, spec, line):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delattr(sl, name)
    with pytest.raises(NameError) as info:
        load(spec)
    assert str(info.value) == f"name '{name}' is not defined"
    assert entries(info.value) == [(FN, line)]


def test_deleted_file_loader(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "a.py", "x = 1\n")
    monkeypatch.delattr(sl, "load_strategy_from_file")
    with pytest.raises(NameError, match="^name 'load_strategy_from_file' is not defined$") as info:
        load("a.py")
    assert entries(info.value) == [(FN, 121)]


def test_symbols_of_the_wrong_type_fail_before_the_specification_is_looked_at(monkeypatch):
    monkeypatch.setattr(sl, "Strategy", hook_base(on_instance=raising(Boom("looked at"))))
    with pytest.raises(TypeError, match=r"^Argument 'symbols' has incorrect type \(expected list, got tuple\)$") as info:
        load("sma_momentum", ("OGDC",))
    assert entries(info.value) == []


def test_the_second_base_is_only_consulted_when_the_first_says_no(monkeypatch):
    error = Boom("consulted")
    monkeypatch.setattr(sl, "InternalBaseStrategy", hook_base(on_instance=raising(error), on_subclass=raising(error)))
    instance = RecordingStrategy()
    assert load(instance) is instance
    monkeypatch.setattr(sl, "InternalBaseStrategy", hook_base(on_subclass=raising(error)))
    assert type(load(RecordingStrategy)) is RecordingStrategy


@pytest.mark.parametrize(
    "spec, error, message, found",
    [
        ("n" * 300 + ".py", OSError, "File name too long", [(FN, 120)]),
        (os.path.join(*["d" * 200] * 30) + ".py", OSError, "File name too long", [(FN, 120)]),
        ("\ud800.py", ModuleNotFoundError, f"No module named {'\ud800'!r}", [(FN, 125), ("load_strategy_from_module", 223)]),
        ("a\x00.py", ModuleNotFoundError, f"No module named {'a\x00'!r}", [(FN, 125), ("load_strategy_from_module", 223)]),
        ("a\x00", ValueError, "Strategy 'a\x00' not found", [(FN, 127)]),
        ("\U0001f4a5.Cls", ModuleNotFoundError, "No module named '\U0001f4a5'", [(FN, 125), ("load_strategy_from_module", 223)]),
    ],
    ids=["long-name", "long-path", "unencodable", "nul-dotted", "nul", "astral"],
)
def test_awkward_strings_fail_cleanly(tmp_path, monkeypatch, spec, error, message, found):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        load(spec)
    assert type(info.value) is error
    assert message in str(info.value)
    assert entries(info.value) == found


def test_the_not_found_text_shows_the_specification_as_formatted():
    class Shown(str):
        def __format__(self, spec):
            return "shown"

    with pytest.raises(ValueError) as info:
        load(Shown("zzz"))
    assert str(info.value) == NOT_FOUND.format("shown", BUILTIN_NAMES)


@pytest.mark.parametrize(
    "spec, keyword, loader, line",
    [("x.py", "file_path", "load_strategy_from_file", (121, 135)), ("a.B", "module_path", "load_strategy_from_module", (125, 200))],
)
def test_an_extra_keyword_named_like_the_loaders_first_parameter(tmp_path, monkeypatch, spec, keyword, loader, line):
    # The extras travel on as keywords, so the delegated loader refuses the duplicate.
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "x.py", "x = 1\n")
    with pytest.raises(TypeError) as info:
        load(spec, **{keyword: "other"})
    assert str(info.value) == f"{loader}() got multiple values for keyword argument '{keyword}'"
    assert entries(info.value) == [(FN, line[0]), (loader, line[1])]
