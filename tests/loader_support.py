"""Shared tools for the loader tests: recording strategy classes, hook
objects that raise from isinstance/issubclass, fixtures that put the
process-wide state the loaders touch back as it was, and helpers that read
the traceback entries the extension adds."""

from __future__ import annotations

import pathlib
import sys
import textwrap
import traceback

import pytest

import quorvane.strategy_loader as sl
from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

SOURCE = "quorvane/strategy_loader"
PREFIX = "quorvane.strategy_loader."
MODULE_KEY = "strategy_module"
BUILTIN_NAMES = [
    "sma_momentum",
    "dual_sma_momentum",
    "rsi_momentum",
    "macd_crossover",
    "bollinger_mean_reversion",
    "vwap_reversion",
]
SUBCLASS_NOTE = (
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False."
)


def entries(exc: BaseException) -> list[tuple[str, int]]:
    """The extension's traceback entries, outermost first, as (function, line)."""
    found = []
    for frame in traceback.extract_tb(exc.__traceback__):
        if frame.filename == SOURCE:
            assert frame.name.startswith(PREFIX), frame.name
            found.append((frame.name[len(PREFIX):], frame.lineno))
    return found


# Recording classes: each instance keeps the keywords its constructor got,
# in the order they arrived, so tests can check order and identity.


class _Recording:
    def __init__(self, **kwargs):
        self.received = list(kwargs.items())


class RecordingStrategy(_Recording, Strategy):
    pass


class RecordingBase(_Recording, BaseStrategy):
    pass


class RecordingBoth(_Recording, Strategy, BaseStrategy):
    pass


class RecordingPlain(_Recording):
    pass


RECORDING_CLASSES = {
    "strategy": RecordingStrategy,
    "base": RecordingBase,
    "both": RecordingBoth,
    "plain": RecordingPlain,
}


class Boom(Exception):
    """An exception no library code raises, so identity checks are meaningful."""


class RaisesOnNe(type):
    def __ne__(cls, other):
        raise Boom("ne")

    __hash__ = type.__hash__


class BadTruth:
    def __bool__(self):
        raise Boom("bool")


class FalsyNe(type):
    def __ne__(cls, other):
        return BadTruth()

    __hash__ = type.__hash__


def raising(exc: BaseException):
    def fail(*args, **kwargs):
        raise exc

    return fail


class HookMeta(type):
    """Metaclass whose isinstance/issubclass hooks are configurable per class."""

    def __instancecheck__(cls, obj):
        return cls.on_instance(obj)

    def __subclasscheck__(cls, sub):
        return cls.on_subclass(sub)


def hook_base(on_instance=lambda obj: False, on_subclass=lambda sub: False):
    """A stand-in for Strategy/InternalBaseStrategy with the given hooks."""
    return HookMeta(
        "HookBase",
        (),
        {"on_instance": staticmethod(on_instance), "on_subclass": staticmethod(on_subclass)},
    )


class Recorder:
    """Callable stand-in for a loader: remembers its arguments, returns a marker."""

    def __init__(self, result=None):
        self.calls = []
        self.result = object() if result is None else result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        return self.result


def write(path: pathlib.Path, source: str) -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source).lstrip("\n"))
    return path


STRATEGY_IMPORTS = """\
from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy
"""

RECORDING_INIT = """\
    def __init__(self, **kwargs):
        self.received = list(kwargs.items())
"""


def strategy_source(*classes: tuple[str, str], extra: str = "") -> str:
    """Source of a strategy file defining recording classes (name, bases)."""
    parts = [STRATEGY_IMPORTS]
    for name, bases in classes:
        parts.append(f"class {name}({bases}):\n{RECORDING_INIT}")
    parts.append(textwrap.dedent(extra))
    return "\n".join(parts)


@pytest.fixture(autouse=True)
def module_namespace():
    """Puts the extension's namespace back exactly, order included.

    Deleting a name and setting it again (monkeypatch.delattr) moves it to
    the end of the module dict; other tests read that order. Autouse, so it
    is set up before monkeypatch and torn down after monkeypatch's undo."""
    namespace = vars(sl)
    saved = list(namespace.items())
    yield
    current = list(namespace.items())
    if [(k, id(v)) for k, v in current] != [(k, id(v)) for k, v in saved]:
        namespace.clear()
        namespace.update(saved)


@pytest.fixture
def strategy_module_slot():
    """Keeps sys.modules['strategy_module'] as it was before the test.

    A sentinel sits in the slot during the test so that "left untouched"
    can be checked by identity."""
    missing = object()
    saved = sys.modules.get(MODULE_KEY, missing)
    sentinel = type(sys)("sentinel_before_test")
    sys.modules[MODULE_KEY] = sentinel
    try:
        yield sentinel
    finally:
        if saved is missing:
            sys.modules.pop(MODULE_KEY, None)
        else:
            sys.modules[MODULE_KEY] = saved


@pytest.fixture
def registry():
    """The registry dict, restored to its contents and binding afterwards."""
    bound = sl.BUILTIN_STRATEGIES
    saved = dict(bound)
    try:
        yield bound
    finally:
        bound.clear()
        bound.update(saved)
        sl.BUILTIN_STRATEGIES = bound


@pytest.fixture
def import_root(tmp_path, monkeypatch):
    """A directory on sys.path for throw-away modules; whatever gets imported
    from it is dropped from sys.modules afterwards."""
    root = tmp_path / "importable"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    yield root
    for name, module in list(sys.modules.items()):
        origin = getattr(module, "__file__", None) or ""
        paths = list(getattr(module, "__path__", []) or [])
        if origin.startswith(str(root)) or any(str(p).startswith(str(root)) for p in paths):
            del sys.modules[name]


def package(root: pathlib.Path, dotted: str, source: str) -> None:
    """Writes module `dotted` (its packages included) under `root`."""
    *packages, leaf = dotted.split(".")
    directory = root
    for name in packages:
        directory = directory / name
        directory.mkdir(exist_ok=True)
        (directory / "__init__.py").touch()
    write(directory / f"{leaf}.py", source)


# Constructors that fail, importable by dotted path.


class StrategyRaising(Strategy):
    def __init__(self, **kwargs):
        raise Boom("strategy constructor")


class StrategyWithoutSymbols(Strategy):
    def __init__(self):
        pass


class BaseRaising(BaseStrategy):
    def __init__(self, **kwargs):
        raise Boom("base constructor")


class PlainRaising:
    def __init__(self, **kwargs):
        raise Boom("plain constructor")


def not_a_class():
    return "never called"
