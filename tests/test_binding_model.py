"""Argument binding against a small model of its rules.

Hypothesis draws positional arguments and keyword sets (names of this and
the other functions' parameters, and extra names, in any order) for each
function, calls it through the generic entry (`f(*args, **keywords)`) or
the vectorcall entry, and compares what happens with the model: the exact
binding or argument-type error with its traceback entry, or, once binding
succeeds, what the constructor or the registry received.
"""

from __future__ import annotations

import pathlib
import textwrap
import traceback
from dataclasses import dataclass, field

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvane.strategy_loader as sl
from leak_support import Abstract, ListSub, preserved_loader_state, Rec, RecBase, StrSub, vectorcall
from quorvane.strategy import Strategy

SOURCE = "quorvane/strategy_loader"
PREFIX = "quorvane.strategy_loader."
NOTE = ("Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
        "If you need to pass subclasses then set the 'annotation_typing' directive to False.")


# -- the model -----------------------------------------------------------------


@dataclass(frozen=True)
class Signature:
    name: str
    parameters: tuple[str, ...]
    required: int
    extras: bool
    tests: dict[str, tuple[type, bool]] = field(default_factory=dict)  # type, None accepted
    line: int = 0


SIGNATURES = {
    s.name: s for s in [
        Signature("load_strategy", ("strategy_spec", "symbols"), 1, True, {"symbols": (list, True)}, 72),
        Signature("load_strategy_from_file", ("file_path", "symbols", "class_name"), 1, True,
                  {"symbols": (list, True), "class_name": (str, True)}, 135),
        Signature("load_strategy_from_module", ("module_path", "symbols"), 1, True,
                  {"module_path": (str, False), "symbols": (list, True)}, 200),
        Signature("register_strategy", ("name", "strategy_class"), 2, False,
                  {"name": (str, False), "strategy_class": (type, False)}, 232),
        Signature("list_strategies", (), 0, False),
    ]
}


@dataclass
class Refused:
    message: str
    entry: tuple[str, int] | None  # the extension's traceback entry, if any
    note: bool = False


@dataclass
class Bound:
    values: dict[str, object]
    extras: list[tuple[str, object]]


def bind(sig: Signature, args: list, keywords: list[tuple[str, object]]) -> Refused | Bound:
    """What binding makes of a call: the error it raises, or the values."""
    name, parameters, required = sig.name, sig.parameters, sig.required
    positional = len(parameters)
    entry = (name, sig.line)
    if name == "list_strategies":
        if keywords:
            return Refused("list_strategies() takes no keyword arguments", None)
        if args:
            return Refused(f"list_strategies() takes no arguments ({len(args)} given)", None)
        return Bound({}, [])

    def count(given, too_many):
        if required == positional:
            quantity, number = "exactly", required
        elif too_many:
            quantity, number = "at most", positional
        else:
            quantity, number = "at least", required
        plural = "" if number == 1 else "s"
        return Refused(f"{name}() takes {quantity} {number} positional argument{plural} ({given} given)", entry)

    values = dict(zip(parameters, args))
    extras = []
    if keywords:
        if len(args) > positional:
            return count(len(args), True)
        for key, value in keywords:
            if key in parameters[:len(args)]:
                return Refused(f"{name}() got multiple values for keyword argument '{key}'", entry)
            if key in parameters:
                values[key] = value
            elif sig.extras:
                extras.append((key, value))
            else:
                return Refused(f"{name}() got an unexpected keyword argument '{key}'", entry)
        for index in range(len(args), required):
            if parameters[index] not in values:
                return count(index, False)
    elif not required <= len(args) <= positional:
        return count(len(args), len(args) > positional)
    for parameter in parameters:
        values.setdefault(parameter, None)
    for parameter in parameters:
        if parameter in sig.tests:
            accepted, none_ok = sig.tests[parameter]
            value = values[parameter]
            if type(value) is accepted or (none_ok and value is None):
                continue
            return Refused(f"Argument '{parameter}' has incorrect type (expected {accepted.__name__}, "
                           f"got {type(value).__name__})", None, issubclass(type(value), accepted))
    return Bound(values, extras)


def constructed_with(cls, symbols, extras):
    """The keywords a loader hands a strategy class."""
    if issubclass(cls, Strategy):
        return [("symbols", symbols if symbols else [])] + extras
    return extras


# -- drawing calls ---------------------------------------------------------------

LISTED = ["A"]
EMPTY: list = []
TARGET = f"{__name__}.Rec"
# Values of each parameter that pass its argument test, and some that do not.
POOLS = {
    "strategy_spec": ([Rec, RecBase], []),
    "symbols": ([None, EMPTY, LISTED], [("A",), ListSub(["A"]), "A", 0]),
    "file_path": ([], []),  # filled by the fixture below with the strategy file's path
    "class_name": ([None, "", "FileRec"], [5, StrSub("FileRec")]),
    "module_path": ([TARGET, f"{__name__}.RecBase"], [None, StrSub(TARGET)]),
    "name": (["Hyp_Name", ""], [None, StrSub("hyp")]),
    "strategy_class": ([Rec, RecBase], [5, Abstract, None]),
}
OTHER = [0, "value", None, b"bytes"]
KEYS = [key for key in POOLS] + ["extra", "Symbols", "ma_period", "k\u00e9"]


def values_of(key):
    """Half the time a value that passes the argument test."""
    if key not in POOLS:
        return st.sampled_from(OTHER)
    passing, failing = POOLS[key]
    return st.sampled_from(passing) | st.sampled_from(failing) if failing else st.sampled_from(passing)


@st.composite
def calls(draw, name):
    sig = SIGNATURES[name]
    count = draw(st.integers(0, len(sig.parameters) + 1))
    args = [draw(values_of(sig.parameters[i] if i < len(sig.parameters) else None)) for i in range(count)]
    # Half the names drawn are the function's own parameters, the rest any;
    # a function without extra keywords also gets calls with only its own.
    names = st.sampled_from(sig.parameters) | st.sampled_from(KEYS) if sig.parameters else st.sampled_from(KEYS)
    if sig.parameters and not sig.extras and draw(st.booleans()):
        names = st.sampled_from(sig.parameters)
    keys = draw(st.lists(names, unique=True, max_size=4))
    keywords = [(key, draw(values_of(key))) for key in keys]
    return args, keywords, draw(st.sampled_from(["generic", "vectorcall"]))


FILE_SOURCE = """
from quorvane.strategy import Strategy
class FileRec(Strategy):
    def __init__(self, **kwargs):
        self.received = list(kwargs.items())
"""


@pytest.fixture(scope="module", autouse=True)
def strategy_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("binding") / "file_rec.py"
    path.write_text(textwrap.dedent(FILE_SOURCE))
    POOLS["file_path"][0][:] = [str(path), pathlib.Path(path)]
    yield
    POOLS["file_path"][0][:] = []


def invoke(function, args, keywords, via):
    if via == "generic":
        return function(*args, **dict(keywords))
    return vectorcall(function, args, [k for k, _ in keywords], [v for _, v in keywords])


def module_entries(exc):
    return [(frame.name.removeprefix(PREFIX), frame.lineno)
            for frame in traceback.extract_tb(exc.__traceback__) if frame.filename == SOURCE]


def check_success(name, bound, result, registry):
    values, extras = bound.values, bound.extras
    if name == "list_strategies":
        assert result == list(registry)
    elif name == "register_strategy":
        assert result is None
        assert registry == {values["name"].lower(): values["strategy_class"]}
    else:
        if name == "load_strategy":
            cls = values["strategy_spec"]
        elif name == "load_strategy_from_module":
            cls = Rec if values["module_path"] == TARGET else RecBase
        else:
            cls = Strategy  # the file's one class derives from Strategy
        assert result.received == constructed_with(cls, values["symbols"], extras)
        if cls is not RecBase:
            symbols = result.received[0][1]
            assert symbols is values["symbols"] if values["symbols"] else symbols is not EMPTY


MODEL = settings(max_examples=150, deadline=None, database=None,
                 suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_binding_follows_the_model(name):
    @MODEL
    @given(call=calls(name))
    def check(call):
        args, keywords, via = call
        expected = bind(SIGNATURES[name], args, keywords)
        with preserved_loader_state():
            # A private registry, so that a success can be checked exactly.
            sl.BUILTIN_STRATEGIES = registry = {} if name != "list_strategies" else {"one": Rec, "two": RecBase}
            try:
                result = invoke(getattr(sl, name), args, keywords, via)
            except TypeError as exc:
                assert isinstance(expected, Refused), (exc, expected)
                assert type(exc) is TypeError and str(exc) == expected.message
                assert getattr(exc, "__notes__", None) == ([NOTE] if expected.note else None)
                assert module_entries(exc) == ([expected.entry] if expected.entry else [])
                return
            assert isinstance(expected, Bound), (result, expected)
            check_success(name, expected, result, registry)

    check()


# -- the model against a few fixed answers -------------------------------------------


@pytest.mark.parametrize("name, args, keywords, message", [
    ("load_strategy", [], [], "load_strategy() takes at least 1 positional argument (0 given)"),
    ("load_strategy", ["a", None, None], [], "load_strategy() takes at most 2 positional arguments (3 given)"),
    ("register_strategy", ["x"], [], "register_strategy() takes exactly 2 positional arguments (1 given)"),
    ("register_strategy", [], [("strategy_class", Rec)],
     "register_strategy() takes exactly 2 positional arguments (0 given)"),
    ("register_strategy", ["x"], [("name", "y")], "register_strategy() got multiple values for keyword argument 'name'"),
    ("register_strategy", ["x", Rec], [("extra", 1)],
     "register_strategy() got an unexpected keyword argument 'extra'"),
    ("load_strategy", ["s", ("A",)], [], "Argument 'symbols' has incorrect type (expected list, got tuple)"),
    ("list_strategies", [1], [("x", 1)], "list_strategies() takes no keyword arguments"),
])
def test_the_model_gives_the_documented_messages(name, args, keywords, message):
    refused = bind(SIGNATURES[name], args, keywords)
    assert isinstance(refused, Refused) and refused.message == message
