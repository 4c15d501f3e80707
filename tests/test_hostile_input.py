"""Hostile input: every call must end in the right exception, never in a
crash, whatever the caller hands in or rebinds.

Grouped by what the caller does: odd keyword names, objects whose hooks
raise or return odd types, registries that are not plain dicts, calls that
recurse into the module, finalizers that call the module while it builds a
traceback entry, module attributes rebound between calls, and awkward file
paths. Cases that could take the interpreter down run in a subprocess.
"""

from __future__ import annotations

import collections.abc
import errno
import functools
import os
import subprocess
import sys
import textwrap
import traceback
import types

import pytest

import quorvane.strategy_loader as sl
from leak_support import Boom, EqRaises, preserved_loader_state, Rec, RecBase
from quorvane.strategy import Strategy

SOURCE = "quorvane/strategy_loader"
PREFIX = "quorvane.strategy_loader."
PARAMETER_FUNCTIONS = ["load_strategy", "load_strategy_from_file", "load_strategy_from_module", "register_strategy"]
WITH_EXTRAS = ["load_strategy", "load_strategy_from_file", "load_strategy_from_module"]


@pytest.fixture(autouse=True)
def restore_loader_state():
    with preserved_loader_state():
        yield


def entries(exc):
    return [(frame.name.removeprefix(PREFIX), frame.lineno)
            for frame in traceback.extract_tb(exc.__traceback__) if frame.filename == SOURCE]


class BadTruth:
    def __bool__(self):
        raise Boom("bool")


# A first argument for each function that gets through binding.
FIRST = {"load_strategy": Rec, "load_strategy_from_file": "x.py", "load_strategy_from_module": "a.B",
         "register_strategy": "x"}


def call(function, keywords, *args):
    args = args or (FIRST[function],) + ((Rec,) if function == "register_strategy" else ())
    return getattr(sl, function)(*args, **keywords)


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter, away from the source tree (whose
    quorvane/ has no compiled extension); returns (returncode, output)."""
    done = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, cwd=os.path.dirname(sys.executable))
    return done.returncode, done.stdout + done.stderr


# -- keyword names ---------------------------------------------------------------


class EqBadTruth(str):
    def __eq__(self, other):
        return BadTruth()

    __hash__ = str.__hash__


class EqAlways(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Armed(str):
    """A str subclass whose hash can be made to fail once it sits in a dict
    (the dict keeps the hash it computed)."""

    armed = False

    def __hash__(self):
        if type(self).armed:
            raise Boom("hash")
        return str.__hash__(self)

    __eq__ = str.__eq__


class TestKeywordNames:
    @pytest.mark.parametrize("function", PARAMETER_FUNCTIONS)
    @pytest.mark.parametrize("key_type", [EqRaises, EqBadTruth], ids=["raises", "bad-truth"])
    def test_a_comparison_that_fails_reaches_the_caller(self, function, key_type):
        with pytest.raises(Boom):
            call(function, {key_type("zz"): 1})

    def test_list_strategies_compares_no_keyword(self):
        with pytest.raises(TypeError, match=r"^list_strategies\(\) takes no keyword arguments$"):
            sl.list_strategies(**{EqRaises("zz"): 1})

    @pytest.mark.parametrize("function", WITH_EXTRAS)
    def test_a_hash_that_fails_when_collected_reaches_the_caller(self, function, monkeypatch):
        keywords = {Armed("extra"): 1}
        monkeypatch.setattr(Armed, "armed", True)
        with pytest.raises(Boom):
            call(function, keywords)

    def test_a_keyword_that_is_never_collected_is_never_hashed(self, monkeypatch):
        keywords = {Armed("extra"): 1}
        monkeypatch.setattr(Armed, "armed", True)
        with pytest.raises(TypeError, match=r"^register_strategy\(\) got an unexpected keyword argument 'extra'$"):
            sl.register_strategy("x", Rec, **keywords)

    @pytest.mark.parametrize("function, args", [
        ("load_strategy", ()), ("load_strategy_from_module", ()), ("register_strategy", ())])
    def test_two_names_that_claim_one_parameter_are_refused(self, function, args):
        # Both keys compare equal to every parameter name: the first binds the
        # first parameter, the second must not silently replace it.
        with pytest.raises(TypeError, match="got multiple values for keyword argument"):
            getattr(sl, function)(*args, **{EqAlways("p"): "a.B", EqAlways("q"): "a.B"})

    def test_a_keyword_equal_to_the_module_loaders_first_parameter_clashes_when_handed_on(self):
        class Clashing(str):
            def __eq__(self, other):
                return other == "module_path"

            __hash__ = str.__hash__

        # The dispatcher's own parameters do not match it, so it travels on
        # as an extra keyword, and the module loader's binding meets it.
        with pytest.raises(TypeError) as info:
            sl.load_strategy(f"{__name__}.Rec", **{Clashing("zz"): 1})
        assert str(info.value) == "load_strategy_from_module() got multiple values for keyword argument 'zz'"
        assert entries(info.value) == [("load_strategy", 125), ("load_strategy_from_module", 200)]

    def test_lone_surrogates_in_keyword_names(self):
        made = sl.load_strategy(Rec, ["A"], **{"\ud800": 1, "symbols\udc80": 2})
        assert made.received == [("symbols", ["A"]), ("\ud800", 1), ("symbols\udc80", 2)]
        with pytest.raises(TypeError) as info:
            sl.register_strategy("x", Rec, **{"\udfff": 1})
        assert str(info.value) == "register_strategy() got an unexpected keyword argument '\udfff'"

    def test_thousands_of_extra_keywords_arrive_in_order(self):
        keywords = {f"k{i}": i for i in range(5000)}
        expected = [("symbols", [])] + list(keywords.items())
        assert sl.load_strategy(Rec, **keywords).received == expected
        assert sl.load_strategy_from_module(f"{__name__}.Rec", **keywords).received == expected
        assert sl.load_strategy(RecBase, **keywords).received == expected[1:]
        with pytest.raises(TypeError, match="unexpected keyword argument 'k0'"):
            sl.register_strategy("x", Rec, **keywords)


# -- hooks that raise or return odd types ----------------------------------------


class Hook(type):
    def __instancecheck__(cls, obj):
        return cls.on_instance(obj)

    def __subclasscheck__(cls, sub):
        return cls.on_subclass(sub)


def hook_base(on_instance=lambda obj: False, on_subclass=lambda sub: False):
    return Hook("HookBase", (), {"on_instance": staticmethod(on_instance), "on_subclass": staticmethod(on_subclass)})


def raise_boom(*args):
    raise Boom("hook")


class StrRaises(type):
    def __str__(cls):
        raise Boom("str")


class StrNotText(type):
    def __str__(cls):
        return 42


class FormatNotText(str):
    def __format__(self, spec):
        return 42


class LowerUnhashable(str):
    def lower(self):
        return ["not", "hashable"]


class LowerNotText(str):
    def lower(self):
        return 42


class LowerChanges(str):
    """Lower-cases to a registered name the first time only."""

    def lower(self):
        self.calls = getattr(self, "calls", 0) + 1
        return "sma_momentum" if self.calls == 1 else "sma_momentum_gone"


class TestHooks:
    @pytest.mark.parametrize("spec, error", [
        (StrRaises("Odd", (), {})(), Boom),
        (StrNotText("Odd", (), {})(), TypeError),
        (FormatNotText("zz_nowhere"), TypeError),
        (LowerUnhashable("x"), TypeError),
        (LowerChanges("x"), KeyError),
    ], ids=["type-str-raises", "type-str-not-text", "format-not-text", "lower-unhashable", "lower-changes"])
    def test_message_and_name_hooks(self, spec, error):
        with pytest.raises(error):
            sl.load_strategy(spec)

    def test_lower_that_is_not_text_finds_no_builtin(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(ValueError, match=r"^Strategy 'x' not found"):
            sl.load_strategy(LowerNotText("x"))

    @pytest.mark.parametrize("base, hook, function, args", [
        ("Strategy", "instance", "load_strategy", (object(),)),
        ("InternalBaseStrategy", "instance", "load_strategy", (object(),)),
        ("Strategy", "subclass", "load_strategy", (Rec,)),
        ("Strategy", "subclass", "load_strategy_from_module", (f"{__name__}.Rec",)),
        ("Strategy", "subclass", "register_strategy", ("x", Rec)),
        ("InternalBaseStrategy", "subclass", "register_strategy", ("x", type("Neither", (), {}))),
    ])
    @pytest.mark.parametrize("result", [raise_boom, lambda obj: BadTruth()], ids=["raises", "bad-truth"])
    def test_isinstance_and_issubclass_hooks(self, monkeypatch, base, hook, function, args, result):
        monkeypatch.setattr(sl, base, hook_base(**{f"on_{hook}": result}))
        with pytest.raises(Boom):
            getattr(sl, function)(*args)

    def test_a_hook_that_answers_with_a_truthy_object_counts_as_yes(self, monkeypatch):
        instance = object()
        monkeypatch.setattr(sl, "Strategy", hook_base(on_instance=lambda obj: "yes"))
        assert sl.load_strategy(instance) is instance


# -- registries that are not plain dicts ----------------------------------------


class Registry(dict):
    """A dict subclass that overrides every operation the functions use."""

    def __init__(self):
        super().__init__()
        self.log = []

    def __contains__(self, key):
        self.log.append("contains")
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append("getitem")
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append("setitem")
        super().__setitem__(key, value)

    def keys(self):
        self.log.append("keys")
        return list(super().keys())


class ShrinkingRegistry(collections.abc.Mapping):
    """Says a name is present, then loses it before it is fetched."""

    def __init__(self):
        self.data = {"mine": Rec}

    def __contains__(self, key):
        found = key in self.data
        self.data.clear()
        return found

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class MutatingKeys(dict):
    def keys(self):
        def walk():
            for key in dict.keys(self):
                self[key + "_more"] = Rec
                yield key
        return walk()


class TestRegistries:
    def test_a_dict_subclass_is_served_through_its_own_methods(self, monkeypatch):
        registry = Registry()
        monkeypatch.setattr(sl, "BUILTIN_STRATEGIES", registry)
        sl.register_strategy("Mine", Rec)
        assert sl.list_strategies() == ["mine"]
        assert type(sl.load_strategy("MINE", ["A"])) is Rec
        assert registry.log == ["setitem", "keys", "contains", "getitem"]

    @pytest.mark.parametrize("registry, function, args, error", [
        (ShrinkingRegistry(), "load_strategy", ("mine",), KeyError),
        (MutatingKeys(a=Rec), "list_strategies", (), RuntimeError),
        (MutatingKeys(a=Rec), "load_strategy", ("zz_nowhere",), RuntimeError),
        (types.MappingProxyType({}), "register_strategy", ("x", Rec), TypeError),
        ([("a", Rec)], "list_strategies", (), AttributeError),
    ], ids=["shrinks", "keys-mutate-list", "keys-mutate-message", "read-only", "list"])
    def test_misbehaving_registries(self, monkeypatch, registry, function, args, error):
        monkeypatch.setattr(sl, "BUILTIN_STRATEGIES", registry)
        with pytest.raises(error):
            getattr(sl, function)(*args)

    def test_keys_that_are_not_strings_are_listed_as_they_are(self, monkeypatch):
        monkeypatch.setattr(sl, "BUILTIN_STRATEGIES", {1: Rec, None: Rec, b"x": Rec})
        assert sl.list_strategies() == [1, None, b"x"]
        with pytest.raises(ValueError, match=r"Available built-in strategies: \[1, None, b'x'\]$"):
            sl.load_strategy("zz_nowhere")


# -- recursion ---------------------------------------------------------------------


class TestRecursion:
    def test_a_constructor_that_loads_itself(self):
        class Again(Strategy):
            def __init__(self, **kwargs):
                sl.load_strategy(Again, **kwargs)

        with pytest.raises(RecursionError):
            sl.load_strategy(Again)
        sl.register_strategy("again", Again)
        with pytest.raises(RecursionError):
            sl.load_strategy("again")
        assert type(sl.load_strategy("sma_momentum")).__name__ == "SMAMomentumStrategy"

    def test_a_file_that_loads_itself(self, tmp_path):
        path = tmp_path / "again.py"
        path.write_text("import quorvane.strategy_loader as sl\nsl.load_strategy_from_file(__file__)\n")
        with pytest.raises(RecursionError):
            sl.load_strategy(str(path))

    @pytest.mark.parametrize("setup, first_call", [
        ("sl.load_strategy_from_module = sl.load_strategy", "sl.load_strategy('a.b')"),
        ("sl.BUILTIN_STRATEGIES['again'] = functools.partial(sl.load_strategy, 'again')", "sl.load_strategy('again')"),
        ("sl.Path = functools.partial(sl.load_strategy_from_file)", "sl.load_strategy_from_file('x.py')"),
    ], ids=["loader-is-dispatcher", "registry-entry-is-dispatcher", "path-is-file-loader"])
    def test_recursion_through_the_modules_own_functions(self, setup, first_call):
        code, output = run_python(f"""
            import functools
            import quorvane.strategy_loader as sl
            {setup}
            try:
                {first_call}
            except RecursionError:
                print("RecursionError")
        """)
        assert (code, output.strip()) == (0, "RecursionError"), output[-2000:]


# -- finalizers during traceback entries -------------------------------------------

FINALIZER_SCRIPT = """
import gc
import quorvane.strategy_loader as sl
from quorvane.strategy import Strategy

PREFIX = "quorvane.strategy_loader."
reentered = 0

class Garbage:
    # A cycle whose finalizer calls the module, failing, so that its calls
    # add traceback entries of their own; it leaves new garbage behind.
    def __init__(self):
        self.me = self

    def __del__(self):
        global reentered
        reentered += 1
        for function, args in ((sl.load_strategy, (3,)), (sl.load_strategy_from_module, ("nodot",)),
                               (sl.register_strategy, ("x", int)), (sl.load_strategy, ())):
            try:
                function(*args)
            except (TypeError, ValueError):
                pass
        Garbage()

def entries(exc):
    tb, found = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "quorvane/strategy_loader":
            found.append((code.co_name.removeprefix(PREFIX), tb.tb_lineno))
        tb = tb.tb_next
    return found

class Neither:
    pass

CASES = [
    (lambda: sl.load_strategy(), TypeError, "load_strategy() takes at least 1 positional argument (0 given)",
     [("load_strategy", 72)]),
    (lambda: sl.load_strategy(Neither), ValueError, "Strategy class must inherit from Strategy or BaseStrategy",
     [("load_strategy", 109)]),
    (lambda: sl.load_strategy(3.5), ValueError, "Invalid strategy specification: <class 'float'>",
     [("load_strategy", 132)]),
    (lambda: sl.load_strategy_from_module("nodot"), ValueError, "Invalid module path: nodot",
     [("load_strategy_from_module", 218)]),
    (lambda: sl.load_strategy("zz.yy"), ModuleNotFoundError, "No module named 'zz'",
     [("load_strategy", 125), ("load_strategy_from_module", 223)]),
    (lambda: sl.register_strategy("x", object), ValueError,
     "strategy_class must inherit from Strategy or BaseStrategy", [("register_strategy", 244)]),
    (lambda: sl.register_strategy("x"), TypeError, "register_strategy() takes exactly 2 positional arguments (1 given)",
     [("register_strategy", 232)]),
    (lambda: sl.load_strategy_from_file("/nonexistent/x.py"), FileNotFoundError,
     "Strategy file not found: /nonexistent/x.py", [("load_strategy_from_file", 156)]),
]

gc.set_threshold(1, 1, 1)
Garbage()
for round in range(200):
    for make_call, error, message, expected in CASES:
        try:
            make_call()
        except error as exc:
            assert str(exc) == message, (str(exc), message)
            assert entries(exc) == expected, (entries(exc), expected)
        else:
            raise AssertionError("no exception")
gc.set_threshold(700, 10, 10)
assert reentered > 1000, reentered
print("ok")
"""


def test_finalizers_that_call_the_module_while_entries_are_made():
    # A fresh interpreter: its cache of entry code objects starts empty, so
    # the first failure at each line makes its code object with the
    # collector running on nearly every allocation.
    code, output = run_python(FINALIZER_SCRIPT, timeout=300)
    assert (code, output.strip()) == (0, "ok"), output[-3000:]


NO_MEMORY_SCRIPT = """
import _testcapi
import quorvane.strategy_loader as sl

class Neither:
    pass

class ListSub(list):
    pass

class NoFile:
    # Stands in for pathlib, whose own code does not survive every failed
    # allocation in this interpreter version.
    def __init__(self, text):
        pass

    def resolve(self):
        return self

    def exists(self):
        return False

sl.Path = NoFile
CASES = [
    (lambda: sl.load_strategy(), TypeError),
    (lambda: sl.load_strategy(1, strategy_spec=2), TypeError),
    (lambda: sl.load_strategy(1, ListSub()), TypeError),  # with the note
    (lambda: sl.load_strategy(Neither), ValueError),
    (lambda: sl.load_strategy(3), ValueError),
    (lambda: sl.load_strategy("zz_nowhere"), ValueError),
    (lambda: sl.load_strategy("collections.OrderedDict", a=1), None),
    (lambda: sl.load_strategy_from_file("x.py"), FileNotFoundError),
    (lambda: sl.load_strategy_from_module("nodot"), ValueError),
    (lambda: sl.register_strategy("x", Neither), ValueError),
    (lambda: sl.register_strategy("x", sl.BUILTIN_STRATEGIES["sma_momentum"]), None),
    (lambda: sl.list_strategies(), None),
    (lambda: sl.list_strategies(1), TypeError),
]

def attempt(make_call, n):
    _testcapi.set_nomemory(n, n + 1)  # only the n-th allocation fails
    try:
        make_call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return exc
    _testcapi.remove_mem_hooks()
    return None

# The interpreter's own error path may end up here when the allocation it
# needed for the caller's frame failed; that is no loss of ours.
ITS_OWN = "error return without exception set"
bad = []
for index, (make_call, error) in enumerate(CASES):
    for n in range(250):
        exc = attempt(make_call, n)
        if exc is None and error is None or isinstance(exc, MemoryError):
            continue
        if error is not None and type(exc) is error or type(exc) is SystemError and str(exc) == ITS_OWN:
            continue
        bad.append((index, n, repr(exc)))
print(bad[:5] or "ok")
"""


def test_every_allocation_failing_in_turn():
    # An allocation that fails must end the call with MemoryError (or leave
    # the call's own outcome), never lose the exception or crash.
    pytest.importorskip("_testcapi")
    code, output = run_python(NO_MEMORY_SCRIPT, timeout=300)
    assert (code, output.strip()) == (0, "ok"), output[-3000:]


# -- module attributes rebound between calls ------------------------------------

REBINDABLE = ["Strategy", "InternalBaseStrategy", "BUILTIN_STRATEGIES", "Path", "importlib", "sys",
              "load_strategy_from_file", "load_strategy_from_module"]


LOAD_FROM_FILE, LOAD_FROM_MODULE = sl.load_strategy_from_file, sl.load_strategy_from_module


@pytest.fixture
def everyday_calls(tmp_path):
    path = tmp_path / "mine.py"
    path.write_text("from quorvane.strategy import Strategy\nclass Mine(Strategy):\n    pass\n")
    return [
        lambda: sl.load_strategy("sma_momentum", ma_period=5),
        lambda: sl.load_strategy(Rec, ["A"]),
        lambda: sl.load_strategy(str(path)),
        lambda: sl.load_strategy(f"{__name__}.RecBase"),
        lambda: LOAD_FROM_FILE(path),
        lambda: LOAD_FROM_MODULE(f"{__name__}.Rec"),
        lambda: sl.register_strategy("mine", Rec),
        lambda: sl.list_strategies(),
        lambda: sl.load_strategy("zz_nowhere"),  # fails the same way in every state below
    ]


@pytest.mark.parametrize("name", REBINDABLE)
def test_deleting_rebinding_and_restoring_module_attributes(name, everyday_calls):
    original = getattr(sl, name)

    def outcomes():
        found = []
        for make_call in everyday_calls:
            try:
                make_call()
                found.append(None)
            except Exception as exc:
                found.append(exc)
        return found

    baseline = outcomes()
    assert all(result is None for result in baseline[:-1]), baseline
    for state in range(3):
        delattr(sl, name)
        for exc in outcomes():
            assert exc is None or type(exc) is ValueError or str(exc) == f"name '{name}' is not defined", exc
        for junk in (None, 42, "text", Rec):
            setattr(sl, name, junk)
            outcomes()  # any exception will do; the interpreter must survive
        setattr(sl, name, original)
        assert [type(result) for result in outcomes()] == [type(result) for result in baseline]


REBINDINGS = {
    "setattr": lambda ns, value: setattr(sl, "BUILTIN_STRATEGIES", value),
    "item": lambda ns, value: ns.__setitem__("BUILTIN_STRATEGIES", value),
    "update": lambda ns, value: ns.update(BUILTIN_STRATEGIES=value),
    "or-update": lambda ns, value: ns.__ior__({"BUILTIN_STRATEGIES": value}),
    "pop-then-setdefault": lambda ns, value: (ns.pop("BUILTIN_STRATEGIES"), ns.setdefault("BUILTIN_STRATEGIES", value)),
    "clear-then-update": lambda ns, value: (saved := dict(ns), ns.clear(), ns.update(saved, BUILTIN_STRATEGIES=value)),
}


@pytest.mark.parametrize("rebind", REBINDINGS.values(), ids=REBINDINGS.keys())
def test_every_way_of_rebinding_takes_effect_on_the_next_call(rebind):
    namespace = vars(sl)
    for round in range(3):
        registry = {f"round_{round}": Rec}
        sl.list_strategies()  # resolve the name once more before it changes
        rebind(namespace, registry)
        assert sl.list_strategies() == [f"round_{round}"]
        assert type(sl.load_strategy(f"ROUND_{round}")) is Rec


def test_a_name_found_among_the_builtins_follows_them(monkeypatch):
    import builtins

    monkeypatch.delattr(sl, "BUILTIN_STRATEGIES")
    for round in range(3):
        monkeypatch.setattr(builtins, "BUILTIN_STRATEGIES", {f"round_{round}": Rec}, raising=False)
        assert sl.list_strategies() == [f"round_{round}"]
    monkeypatch.delattr(builtins, "BUILTIN_STRATEGIES")
    with pytest.raises(NameError, match="^name 'BUILTIN_STRATEGIES' is not defined$"):
        sl.list_strategies()
    monkeypatch.setattr(sl, "BUILTIN_STRATEGIES", {"back": Rec}, raising=False)
    assert sl.list_strategies() == ["back"]


def test_calls_survive_a_module_without_builtins(monkeypatch):
    # The traceback entry's frame takes its builtins from the module namespace.
    for value in (None, 5, {}):
        monkeypatch.setattr(sl, "__builtins__", value)
        with pytest.raises(ValueError) as info:
            sl.load_strategy(3)
        assert entries(info.value) == [("load_strategy", 132)]
    monkeypatch.delattr(sl, "__builtins__")
    with pytest.raises(ValueError) as info:
        sl.load_strategy(3)
    assert entries(info.value) == [("load_strategy", 132)]


# -- awkward file paths -----------------------------------------------------------


def undecodable(tmp_path, name):
    return os.fsdecode(os.fsencode(str(tmp_path)) + b"/" + name)


STRATEGY_FILE = "from quorvane.strategy import Strategy\nclass Mine(Strategy):\n    pass\n"


class TestAwkwardPaths:
    def test_a_file_whose_name_is_not_valid_utf8_loads(self, tmp_path):
        path = undecodable(tmp_path, b"\xff\xfe_strategy.py")
        with open(os.fsencode(path), "w") as file:
            file.write(STRATEGY_FILE)
        assert type(sl.load_strategy(path)).__name__ == "Mine"
        assert type(sl.load_strategy_from_file(path)).__name__ == "Mine"

    def test_a_missing_file_whose_name_is_not_valid_utf8(self, tmp_path):
        path = undecodable(tmp_path, b"\xff.py")
        with pytest.raises(FileNotFoundError) as info:
            sl.load_strategy_from_file(path)
        assert str(info.value) == f"Strategy file not found: {path}"

    @pytest.mark.parametrize("function, error", [
        ("load_strategy", ModuleNotFoundError),  # no file there, so a dotted module path
        ("load_strategy_from_file", RuntimeError),
    ])
    def test_a_symlink_loop(self, tmp_path, monkeypatch, function, error):
        monkeypatch.chdir(tmp_path)
        os.symlink("loop_b.py", "loop_a.py")
        os.symlink("loop_a.py", "loop_b.py")
        with pytest.raises(error):
            getattr(sl, function)("loop_a.py")

    @pytest.mark.parametrize("function", ["load_strategy", "load_strategy_from_file"])
    def test_a_path_of_five_thousand_characters(self, tmp_path, monkeypatch, function):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(OSError) as info:
            getattr(sl, function)("/".join(["d" * 99] * 50) + ".py")
        assert info.value.errno == errno.ENAMETOOLONG

    def test_nul_bytes_in_a_file_path(self):
        with pytest.raises(ValueError, match="embedded null byte"):
            sl.load_strategy_from_file("strategies/a\x00b.py")

    def test_a_dangling_symlink(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        os.symlink("nowhere.py", "dangling.py")
        with pytest.raises(FileNotFoundError):
            sl.load_strategy_from_file("dangling.py")
        with pytest.raises(ModuleNotFoundError):
            sl.load_strategy("dangling.py")


def test_partial_of_a_module_function_is_an_ordinary_callee(monkeypatch):
    # Not every callee that supports vectorcall is dangerous: one level of
    # indirection through the module's own functions just works.
    monkeypatch.setitem(sl.BUILTIN_STRATEGIES, "via_partial", functools.partial(sl.load_strategy, Rec, ["A"]))
    assert sl.load_strategy("via_partial").received == [("symbols", ["A"])]
