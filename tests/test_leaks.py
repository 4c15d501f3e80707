"""Every call path of the five functions releases exactly what it made.

Each case below is one way through a function: a success, a binding or
argument-type error, one of the function's own refusals, or an exception
passed on from Python code it calls. The first call checks that the case
takes the intended path (the exception type and the extension's outermost
traceback entry); then the case runs in rounds of thousands of calls and
must not grow the allocated blocks in every round, nor change the
reference counts of what the caller handed in or of the registry.
"""

from __future__ import annotations

import collections.abc
import pathlib
import sys
import textwrap
import traceback
import types

import pytest

import quorvane.strategy_loader as sl
from leak_support import Abstract, Boom, EqRaises, ListSub, measure, Neither, preserved_loader_state, Rec, RecBase, SANITIZER_RUN, StrSub, vectorcall
from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

pytestmark = pytest.mark.skipif(
    SANITIZER_RUN, reason="allocated-block counts mean nothing under PYTHONMALLOC=malloc")

SOURCE = "quorvane/strategy_loader"
PREFIX = "quorvane.strategy_loader."
ANY_ENTRY = object()
SYMBOLS = ["OGDC"]
MARKER = object()
TARGETS = "leakprobe_targets"


class CtorFails(Strategy):
    def __init__(self, **kwargs):
        raise Boom("strategy constructor")


class BaseCtorFails(BaseStrategy):
    def __init__(self, **kwargs):
        raise Boom("base constructor")


class LowerRaises(str):
    def lower(self):
        raise Boom("lower")


class FormatRaises(str):
    def __format__(self, spec):
        raise Boom("format")


class Hook(type):
    def __instancecheck__(cls, obj):
        return cls.on_instance(obj)

    def __subclasscheck__(cls, sub):
        return cls.on_subclass(sub)


def boom(*args):
    raise Boom("hook")


def hook_base(on_instance=lambda obj: False, on_subclass=lambda sub: False):
    return Hook("HookBase", (), {"on_instance": staticmethod(on_instance), "on_subclass": staticmethod(on_subclass)})


class GetitemRaises(collections.abc.Mapping):
    """Claims every name and then cannot produce it."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class KeysRaises(dict):
    def keys(self):
        raise Boom("keys")


class KeysNotIterable(dict):
    def keys(self):
        return 5


def format_raising_path():
    class FormatRaisingPath(type(pathlib.Path())):
        def __format__(self, spec):
            raise Boom("path format")

    return FormatRaisingPath


FILES = {
    "good.py": """
        from quorvane.strategy import Strategy
        class Good(Strategy):
            def __init__(self, **kwargs):
                self.received = list(kwargs.items())
    """,
    "base.py": """
        from quorvane.trader_core.strategies.base import BaseStrategy
        class Based(BaseStrategy):
            def __init__(self, **kwargs):
                self.received = list(kwargs.items())
    """,
    "pick.py": """
        from quorvane.strategy import Strategy
        from quorvane.trader_core.strategies.base import BaseStrategy
        class A(Strategy):
            pass
        class B(BaseStrategy):
            pass
        class Plain:
            def __init__(self, **kwargs):
                self.received = list(kwargs.items())
        def helper():
            pass
        class StrategyFails(Strategy):
            def __init__(self, **kwargs):
                raise LookupError("strategy constructor")
        class BaseFails(BaseStrategy):
            def __init__(self, **kwargs):
                raise LookupError("base constructor")
    """,
    "none.py": "x = 1\n",
    "top_raises.py": "raise LookupError('top level')\n",
    "getattr_raises.py": """
        def __getattr__(name):
            raise LookupError(name)
    """,
    "dir_ghost.py": """
        def __dir__():
            return ["ghost"]
        def __getattr__(name):
            raise LookupError(name)
    """,
    "ne_raises.py": """
        from quorvane.strategy import Strategy
        class Meta(type):
            def __ne__(cls, other):
                raise LookupError("ne")
            __hash__ = type.__hash__
        class Odd(Strategy, metaclass=Meta):
            pass
    """,
    "notes.txt": "not python\n",
}

TARGET_SOURCE = """
    from collections import OrderedDict
    from quorvane.strategy import Strategy
    from quorvane.trader_core.strategies.base import BaseStrategy
    class Rec(Strategy):
        def __init__(self, **kwargs):
            self.received = list(kwargs.items())
    class RecBase(BaseStrategy):
        def __init__(self, **kwargs):
            self.received = list(kwargs.items())
    class Fails(Strategy):
        def __init__(self, **kwargs):
            raise LookupError("strategy constructor")
    class BaseFails(BaseStrategy):
        def __init__(self, **kwargs):
            raise LookupError("base constructor")
    def helper():
        pass
"""


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leak_files")
    for name, source in FILES.items():
        (root / name).write_text(textwrap.dedent(source).lstrip("\n"))
    (root / "two.py").write_text("from quorvane.strategy import Strategy\nclass A(Strategy): pass\nB = A\n")
    importable = root / "importable"
    importable.mkdir()
    (importable / f"{TARGETS}.py").write_text(textwrap.dedent(TARGET_SOURCE).lstrip("\n"))
    (importable / "leakprobe_broken.py").write_text("raise LookupError('import time')\n")
    sys.path.insert(0, str(importable))
    try:
        yield root
    finally:
        sys.path.remove(str(importable))
        sys.modules.pop(TARGETS, None)


# -- cases -----------------------------------------------------------------------
#
# (id, build, calls): build(env) returns the call to repeat; file loads
# execute a source file per call, so they run fewer calls.

# Calls per round for the slower paths: resolving a path costs tens of
# microseconds, running the import machinery hundreds.
PATH_CALLS = 500
FILE_CALLS = 150
IMPORT_CALLS = 300
# The import machinery's caches and interned names wobble by tens of
# blocks per round; one object lost per call still shows as hundreds.
SLOW_SLACK = 80


def expect(error, entry, function, *args, **kwargs):
    """The repeated call, checked in full the first time it runs."""
    checked = False

    def check(exc):
        nonlocal checked
        checked = True
        if entry is ANY_ENTRY:
            return
        found = [(frame.name.removeprefix(PREFIX), frame.lineno)
                 for frame in traceback.extract_tb(exc.__traceback__) if frame.filename == SOURCE]
        if entry is None:
            assert found == [], found
        else:
            assert found and found[0] == entry, found

    if error is None:
        def call():
            function(*args, **kwargs)
    else:
        def call():
            try:
                function(*args, **kwargs)
            except error as exc:
                if not checked:
                    check(exc)
                return
            raise AssertionError(f"{function.__name__} returned instead of raising {error.__name__}")
    return call


def accept(*args, **kwargs):
    """A stand-in loader that keeps nothing."""
    return args


def spread(function, args, keywords):
    """function(*args, **keywords), keeping the keys' own objects."""
    return function(*args, **keywords)


class Env:
    def __init__(self, files, monkeypatch):
        self.dir = files
        self.mp = monkeypatch

    def path(self, name):
        return str(self.dir / name)

    def without(self, name, function):
        """`function`, to be called while the module has no `name`."""
        self.mp.delattr(sl, name)
        return function

    def rebound(self, name, value, function):
        """`function`, to be called while the module binds `name` to `value`."""
        self.mp.setattr(sl, name, value)
        return function


LS, LF, LM, RS, LL = (sl.load_strategy, sl.load_strategy_from_file, sl.load_strategy_from_module,
                      sl.register_strategy, sl.list_strategies)
ls, lf, lm, rs, ll = ("load_strategy", "load_strategy_from_file", "load_strategy_from_module",
                      "register_strategy", "list_strategies")

CASES = [
    # load_strategy: successes
    ("ls-instance", lambda e: expect(None, None, LS, Rec(), SYMBOLS, k=MARKER), None),
    ("ls-strategy-class", lambda e: expect(None, None, LS, Rec, SYMBOLS, k=MARKER), None),
    ("ls-strategy-class-no-symbols", lambda e: expect(None, None, LS, Rec, k=MARKER), None),
    ("ls-base-class", lambda e: expect(None, None, LS, RecBase, SYMBOLS, k=MARKER), None),
    ("ls-builtin-name", lambda e: expect(None, None, LS, "SMA_Momentum", ma_period=20), None),
    ("ls-registered-with-symbols",
     lambda e: (sl.register_strategy("leak_rec", Rec), expect(None, None, LS, "leak_rec", SYMBOLS, k=MARKER))[1],
     None),
    ("ls-file", lambda e: expect(None, None, LS, e.path("good.py"), SYMBOLS, k=MARKER), FILE_CALLS),
    ("ls-module-path", lambda e: expect(None, None, LS, f"{TARGETS}.Rec", SYMBOLS, k=MARKER), None),
    ("ls-module-loader-clash", lambda e: expect(TypeError, (ls, 125), LS, "a.B", SYMBOLS, module_path=MARKER), None),
    ("ls-module-loader-rebound",
     lambda e: expect(None, None, e.rebound("load_strategy_from_module", accept, LS), "a.B", SYMBOLS, k=MARKER), None),
    ("ls-file-loader-rebound",
     lambda e: expect(None, None, e.rebound("load_strategy_from_file", accept, LS), e.path("good.py"), SYMBOLS,
                      k=MARKER), PATH_CALLS),
    # load_strategy: binding and argument types
    ("ls-too-few", lambda e: expect(TypeError, (ls, 72), LS), None),
    ("ls-too-many", lambda e: expect(TypeError, (ls, 72), LS, MARKER, None, MARKER), None),
    ("ls-multiple-values", lambda e: expect(TypeError, (ls, 72), LS, MARKER, strategy_spec=MARKER), None),
    ("ls-keyword-not-str", lambda e: expect(TypeError, (ls, 72), vectorcall, LS, [MARKER], [1], [MARKER]), None),
    ("ls-keyword-eq-raises", lambda e: expect(Boom, ANY_ENTRY, spread, LS, (MARKER,), {EqRaises("zz"): MARKER}), None),
    ("ls-symbols-tuple", lambda e: expect(TypeError, None, LS, MARKER, (MARKER,)), None),
    ("ls-symbols-subclass-note", lambda e: expect(TypeError, None, LS, MARKER, ListSub(SYMBOLS)), None),
    # load_strategy: refusals
    ("ls-neither-base", lambda e: expect(ValueError, (ls, 109), LS, Neither, SYMBOLS, k=MARKER), None),
    ("ls-not-found", lambda e: expect(ValueError, (ls, 127), LS, "leak_nowhere", SYMBOLS, k=MARKER), None),
    ("ls-invalid-spec", lambda e: expect(ValueError, (ls, 132), LS, MARKER, SYMBOLS, k=MARKER), None),
    ("ls-unbound-Strategy", lambda e: expect(NameError, (ls, 99), e.without("Strategy", LS), Rec), None),
    ("ls-unbound-registry",
     lambda e: expect(NameError, (ls, 114), e.without("BUILTIN_STRATEGIES", LS), "leak_nowhere"), None),
    ("ls-unbound-Path", lambda e: expect(NameError, (ls, 119), e.without("Path", LS), "leak_nowhere"), None),
    ("ls-unbound-file-loader",
     lambda e: expect(NameError, (ls, 121), e.without("load_strategy_from_file", LS), e.path("good.py")), PATH_CALLS),
    ("ls-unbound-module-loader",
     lambda e: expect(NameError, (ls, 125), e.without("load_strategy_from_module", LS), "a.b"), None),
    # load_strategy: exceptions passed on
    ("ls-instance-hook", lambda e: expect(Boom, (ls, 99), e.rebound("Strategy", hook_base(boom), LS), MARKER), None),
    ("ls-subclass-hook",
     lambda e: expect(Boom, (ls, 104), e.rebound("Strategy", hook_base(on_subclass=boom), LS), Rec), None),
    ("ls-base-subclass-hook",
     lambda e: expect(Boom, (ls, 106), e.rebound("InternalBaseStrategy", hook_base(on_subclass=boom), LS), Neither),
     None),
    ("ls-strategy-constructor", lambda e: expect(Boom, (ls, 105), LS, CtorFails, SYMBOLS, k=MARKER), None),
    ("ls-base-constructor", lambda e: expect(Boom, (ls, 107), LS, BaseCtorFails, k=MARKER), None),
    ("ls-lower", lambda e: expect(Boom, (ls, 114), LS, LowerRaises("x")), None),
    ("ls-registry-subscript",
     lambda e: expect(KeyError, (ls, 115), e.rebound("BUILTIN_STRATEGIES", GetitemRaises(), LS), "x"), None),
    ("ls-builtin-constructor", lambda e: expect(ValueError, (ls, 116), LS, "sma_momentum", ma_period=-1), None),
    ("ls-exists", lambda e: expect(OSError, (ls, 120), LS, "n" * 300 + ".py"), PATH_CALLS),
    ("ls-file-fails", lambda e: expect(LookupError, (ls, 121), LS, e.path("top_raises.py"), k=MARKER), FILE_CALLS),
    ("ls-module-fails", lambda e: expect(ImportError, (ls, 125), LS, "leakprobe_absent.Cls", k=MARKER),
     IMPORT_CALLS),
    ("ls-format", lambda e: expect(Boom, (ls, 128), LS, FormatRaises("leak_nowhere")), None),
    ("ls-keys", lambda e: expect(Boom, (ls, 129), e.rebound("BUILTIN_STRATEGIES", KeysRaises(), LS), "x"), None),

    # load_strategy_from_file: successes
    ("lf-strategy", lambda e: expect(None, None, LF, e.path("good.py"), SYMBOLS, k=MARKER), FILE_CALLS),
    ("lf-base", lambda e: expect(None, None, LF, pathlib.Path(e.path("base.py")), SYMBOLS, k=MARKER), FILE_CALLS),
    ("lf-class-name", lambda e: expect(None, None, LF, e.path("pick.py"), None, "A"), FILE_CALLS),
    ("lf-plain-class", lambda e: expect(None, None, LF, e.path("pick.py"), SYMBOLS, "Plain", k=MARKER), FILE_CALLS),
    # load_strategy_from_file: binding and argument types
    ("lf-too-few", lambda e: expect(TypeError, (lf, 135), LF, symbols=SYMBOLS), None),
    ("lf-too-many", lambda e: expect(TypeError, (lf, 135), LF, MARKER, None, None, MARKER), None),
    ("lf-multiple-values", lambda e: expect(TypeError, (lf, 135), LF, MARKER, file_path=MARKER), None),
    ("lf-keyword-not-str", lambda e: expect(TypeError, (lf, 135), vectorcall, LF, [MARKER], [1], [MARKER]), None),
    ("lf-symbols-tuple", lambda e: expect(TypeError, None, LF, MARKER, (MARKER,)), None),
    ("lf-symbols-subclass-note", lambda e: expect(TypeError, None, LF, MARKER, ListSub()), None),
    ("lf-class-name-int", lambda e: expect(TypeError, None, LF, MARKER, None, 5), None),
    ("lf-class-name-subclass-note", lambda e: expect(TypeError, None, LF, MARKER, None, StrSub("A")), None),
    # load_strategy_from_file: refusals and exceptions passed on, in step order
    ("lf-path", lambda e: expect(TypeError, (lf, 153), LF, MARKER, SYMBOLS, k=MARKER), PATH_CALLS),
    ("lf-missing", lambda e: expect(FileNotFoundError, (lf, 156), LF, e.path("absent.py"), k=MARKER), PATH_CALLS),
    ("lf-missing-message-fails",
     lambda e: expect(Boom, (lf, 156), e.rebound("Path", format_raising_path(), LF), e.path("absent.py")), PATH_CALLS),
    ("lf-spec-fails",
     lambda e: expect(Boom, (lf, 159), e.rebound("importlib", types.SimpleNamespace(
         util=types.SimpleNamespace(spec_from_file_location=boom)), LF), e.path("good.py")), PATH_CALLS),
    ("lf-no-loader", lambda e: expect(ValueError, (lf, 161), LF, e.path("notes.txt"), k=MARKER), PATH_CALLS),
    ("lf-modules-fails",
     lambda e: expect(AttributeError, (lf, 164), e.rebound("sys", types.SimpleNamespace(), LF), e.path("good.py")),
     PATH_CALLS),
    ("lf-exec-fails", lambda e: expect(LookupError, (lf, 165), LF, e.path("top_raises.py"), SYMBOLS), FILE_CALLS),
    ("lf-hasattr-fails", lambda e: expect(LookupError, (lf, 169), LF, e.path("getattr_raises.py"), None, "X"),
     FILE_CALLS),
    ("lf-class-missing", lambda e: expect(ValueError, (lf, 170), LF, e.path("pick.py"), None, "Missing"), FILE_CALLS),
    ("lf-scan-getattr-fails", lambda e: expect(LookupError, (lf, 176), LF, e.path("dir_ghost.py")), FILE_CALLS),
    ("lf-scan-subclass-fails",
     lambda e: expect(Boom, (lf, 178), e.rebound("Strategy", hook_base(on_subclass=boom), LF), e.path("good.py")),
     FILE_CALLS),
    ("lf-scan-compare-fails", lambda e: expect(LookupError, (lf, 179), LF, e.path("ne_raises.py")), FILE_CALLS),
    ("lf-multiple-classes", lambda e: expect(ValueError, (lf, 181), LF, e.path("two.py"), k=MARKER), FILE_CALLS),
    ("lf-multiple-message-fails",
     lambda e: expect(Boom, (lf, 182), e.rebound("Path", format_raising_path(), LF), e.path("two.py")), FILE_CALLS),
    ("lf-no-class", lambda e: expect(ValueError, (lf, 188), LF, e.path("none.py"), k=MARKER), FILE_CALLS),
    ("lf-no-class-message-fails",
     lambda e: expect(Boom, (lf, 189), e.rebound("Path", format_raising_path(), LF), e.path("none.py")), FILE_CALLS),
    ("lf-not-a-class", lambda e: expect(TypeError, (lf, 194), LF, e.path("pick.py"), None, "helper"), FILE_CALLS),
    ("lf-strategy-constructor",
     lambda e: expect(LookupError, (lf, 195), LF, e.path("pick.py"), SYMBOLS, "StrategyFails", k=MARKER), FILE_CALLS),
    ("lf-base-constructor",
     lambda e: expect(LookupError, (lf, 197), LF, e.path("pick.py"), SYMBOLS, "BaseFails", k=MARKER), FILE_CALLS),
    ("lf-unbound-Path", lambda e: expect(NameError, (lf, 153), e.without("Path", LF), e.path("good.py")), PATH_CALLS),
    ("lf-unbound-importlib",
     lambda e: expect(NameError, (lf, 159), e.without("importlib", LF), e.path("good.py")), PATH_CALLS),
    ("lf-unbound-sys", lambda e: expect(NameError, (lf, 164), e.without("sys", LF), e.path("good.py")), PATH_CALLS),
    ("lf-unbound-Strategy",
     lambda e: expect(NameError, (lf, 178), e.without("Strategy", LF), e.path("good.py")), FILE_CALLS),

    # load_strategy_from_module
    ("lm-strategy", lambda e: expect(None, None, LM, f"{TARGETS}.Rec", SYMBOLS, k=MARKER), None),
    ("lm-base", lambda e: expect(None, None, LM, f"{TARGETS}.RecBase", SYMBOLS, k=MARKER), None),
    ("lm-unrelated-class", lambda e: expect(None, None, LM, f"{TARGETS}.OrderedDict", k=MARKER), None),
    ("lm-too-few", lambda e: expect(TypeError, (lm, 200), LM, symbols=SYMBOLS), None),
    ("lm-too-many", lambda e: expect(TypeError, (lm, 200), LM, "a.B", None, MARKER), None),
    ("lm-multiple-values", lambda e: expect(TypeError, (lm, 200), LM, "a.B", module_path=MARKER), None),
    ("lm-keyword-not-str", lambda e: expect(TypeError, (lm, 200), vectorcall, LM, ["a.B"], [1], [MARKER]), None),
    ("lm-path-none", lambda e: expect(TypeError, None, LM, None, SYMBOLS, k=MARKER), None),
    ("lm-path-subclass-note", lambda e: expect(TypeError, None, LM, StrSub("a.B"), k=MARKER), None),
    ("lm-symbols-tuple", lambda e: expect(TypeError, None, LM, "a.B", (MARKER,)), None),
    ("lm-invalid-path", lambda e: expect(ValueError, (lm, 218), LM, "nodot", SYMBOLS, k=MARKER), None),
    ("lm-no-module", lambda e: expect(ImportError, (lm, 223), LM, "leakprobe_absent.Cls", k=MARKER), IMPORT_CALLS),
    ("lm-module-raises", lambda e: expect(LookupError, (lm, 223), LM, "leakprobe_broken.Cls"), IMPORT_CALLS),
    ("lm-no-attribute", lambda e: expect(AttributeError, (lm, 224), LM, f"{TARGETS}.Missing", k=MARKER), None),
    ("lm-not-a-class", lambda e: expect(TypeError, (lm, 226), LM, f"{TARGETS}.helper", SYMBOLS), None),
    ("lm-strategy-constructor", lambda e: expect(LookupError, (lm, 227), LM, f"{TARGETS}.Fails", SYMBOLS, k=MARKER),
     None),
    ("lm-base-constructor", lambda e: expect(LookupError, (lm, 229), LM, f"{TARGETS}.BaseFails", k=MARKER), None),
    ("lm-unbound-importlib", lambda e: expect(NameError, (lm, 223), e.without("importlib", LM), "a.B"), None),
    ("lm-unbound-Strategy", lambda e: expect(NameError, (lm, 226), e.without("Strategy", LM), f"{TARGETS}.Rec"),
     None),

    # register_strategy
    ("rs-strategy", lambda e: expect(None, None, RS, "Leak_Registered", Rec), None),
    ("rs-base", lambda e: expect(None, None, RS, "leak_registered", RecBase), None),
    ("rs-too-few", lambda e: expect(TypeError, (rs, 232), RS, "x"), None),
    ("rs-too-many", lambda e: expect(TypeError, (rs, 232), RS, "x", Rec, MARKER), None),
    ("rs-missing-by-keyword", lambda e: expect(TypeError, (rs, 232), RS, strategy_class=Rec), None),
    ("rs-unexpected-keyword", lambda e: expect(TypeError, (rs, 232), RS, "x", Rec, extra=MARKER), None),
    ("rs-multiple-values", lambda e: expect(TypeError, (rs, 232), RS, "x", name=MARKER), None),
    ("rs-keyword-not-str", lambda e: expect(TypeError, (rs, 232), vectorcall, RS, ["x"], [1], [Rec]), None),
    ("rs-name-none", lambda e: expect(TypeError, None, RS, None, Rec), None),
    ("rs-name-subclass-note", lambda e: expect(TypeError, None, RS, StrSub("x"), Rec), None),
    ("rs-class-int", lambda e: expect(TypeError, None, RS, "x", 5), None),
    ("rs-class-metaclass-note", lambda e: expect(TypeError, None, RS, "x", Abstract), None),
    ("rs-neither-base", lambda e: expect(ValueError, (rs, 244), RS, "x", Neither), None),
    ("rs-subclass-hook", lambda e: expect(Boom, (rs, 243), e.rebound("Strategy", hook_base(on_subclass=boom), RS),
                                          "x", Rec), None),
    ("rs-unbound-Strategy", lambda e: expect(NameError, (rs, 243), e.without("Strategy", RS), "x", Rec), None),
    ("rs-unbound-base",
     lambda e: expect(NameError, (rs, 243), e.without("InternalBaseStrategy", RS), "x", Neither), None),
    ("rs-unbound-registry",
     lambda e: expect(NameError, (rs, 246), e.without("BUILTIN_STRATEGIES", RS), "x", Rec), None),
    ("rs-store-fails",
     lambda e: expect(TypeError, (rs, 246), e.rebound("BUILTIN_STRATEGIES", types.MappingProxyType({}), RS),
                      "x", Rec), None),

    # list_strategies
    ("ll-list", lambda e: expect(None, None, LL), None),
    ("ll-positional", lambda e: expect(TypeError, None, LL, MARKER), None),
    ("ll-keyword", lambda e: expect(TypeError, None, LL, k=MARKER), None),
    ("ll-unbound-registry", lambda e: expect(NameError, (ll, 251), e.without("BUILTIN_STRATEGIES", LL)), None),
    ("ll-keys-fails", lambda e: expect(Boom, (ll, 251), e.rebound("BUILTIN_STRATEGIES", KeysRaises(), LL)), None),
    ("ll-keys-not-iterable",
     lambda e: expect(TypeError, (ll, 251), e.rebound("BUILTIN_STRATEGIES", KeysNotIterable(), LL)), None),
]


@pytest.mark.parametrize("build, calls", [pytest.param(b, c, id=i) for i, b, c in CASES])
def test_call_path_releases_what_it_made(build, calls, files, monkeypatch):
    with preserved_loader_state(), monkeypatch.context() as mp:
        call = build(Env(files, mp))
        registry = vars(sl).get("BUILTIN_STRATEGIES")
        growth = measure(call, calls=calls or 2000, slack=SLOW_SLACK if calls in (FILE_CALLS, IMPORT_CALLS) else None, watched={
            "symbols": SYMBOLS, "marker": MARKER, "Rec": Rec, "RecBase": RecBase, "registry": registry})
        # The first call checked the path; now the registry must be what it was.
    assert not growth.leaks, f"allocated blocks grew every round: {growth.blocks}"
    assert not growth.drifted, f"reference counts changed (before, after): {growth.drifted}"


# -- the harness itself ----------------------------------------------------------

def test_the_harness_sees_one_lost_object_per_call():
    kept = []
    growth = measure(lambda: kept.append(object()), calls=500)
    assert growth.leaks


def test_the_harness_sees_a_lost_reference_to_a_watched_object():
    kept = []
    growth = measure(lambda: kept.append(MARKER), calls=500, watched={"marker": MARKER})
    assert growth.drifted["marker"][1] - growth.drifted["marker"][0] == 2000
    del kept[:]


def test_the_harness_accepts_a_call_that_keeps_nothing():
    assert not measure(lambda: [object()], calls=500).leaks
