"""Leak measurement for the reliability tests.

A call path leaks when, after a warm-up round, every one of several rounds
of the same calls leaves more allocated blocks behind than a small slack
(`sys.getallocatedblocks()`, counted after a full collection). One lost
object per call shows up as thousands of blocks per round; caches, free
lists and dict resizes settle during the warm-up or do not grow every round.

`sys.getallocatedblocks()` counts the interpreter's own allocator only, so
the measurement means nothing when PYTHONMALLOC=malloc (the sanitizer run);
`SANITIZER_RUN` tells the tests to skip it there.
"""

from __future__ import annotations

import abc
import contextlib
import ctypes
import gc
import os
import sys
from dataclasses import dataclass, field

from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

# Set by .ci/sanitize: allocator statistics are meaningless under
# PYTHONMALLOC=malloc and the instrumented build is several times slower.
SANITIZER_RUN = os.environ.get("QUORVANE_SANITIZER_RUN") == "1"


@dataclass
class Growth:
    """Allocated-block growth of each measured round, and refcount drift."""

    blocks: list[int]
    slack: int
    refcounts: dict[str, tuple[int, int]] = field(default_factory=dict)

    @property
    def leaks(self) -> bool:
        return all(delta > self.slack for delta in self.blocks)

    @property
    def drifted(self) -> dict[str, tuple[int, int]]:
        return {name: counts for name, counts in self.refcounts.items() if counts[0] != counts[1]}


def _run(call, calls: int) -> None:
    for _ in range(calls):
        call()


def measure(call, *, calls: int = 2000, rounds: int = 4, warmup: int = 1, slack: int | None = None,
            watched: dict[str, object] | None = None) -> Growth:
    """Runs `call` in rounds and reports how the allocated blocks grew.

    `watched` names objects whose reference counts must come back to what
    they were after the warm-up (the caller's arguments, the registry...)."""
    if slack is None:
        slack = max(16, calls // 50)
    watched = watched or {}
    for _ in range(warmup):
        _run(call, calls)
    gc.collect()
    baseline = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    deltas = []
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        _run(call, calls)
        gc.collect()
        after = sys.getallocatedblocks()
        deltas.append(after - before)
        before = after
    final = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    return Growth(deltas, slack, {name: (baseline[name], final[name]) for name in watched})


# Calls through the vectorcall protocol with a names tuple of our choosing:
# the only way to hand the functions keyword names that are not strings.
# A prototype of our own: ctypes.pythonapi's function objects are shared,
# and other tests set their argument types differently. The names tuple goes
# as an address so that "no keywords" can be NULL.
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.c_void_p)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(function, args, kwnames=(), kwvalues=()):
    """function(*args, **dict(zip(kwnames, kwvalues))) with `kwnames` as is."""
    kwnames = tuple(kwnames)
    stack = list(args) + list(kwvalues)
    array = (ctypes.py_object * max(1, len(stack)))(*stack)
    names = kwnames if kwnames else None  # kept alive for the call
    return _vectorcall(function, ctypes.cast(array, ctypes.c_void_p), len(args),
                       id(names) if names is not None else None)


@contextlib.contextmanager
def preserved_loader_state():
    """Puts back what the reliability tests change: the extension's
    namespace (bindings and their order, which a delete and re-set would
    change), the registry's binding and contents, and the
    sys.modules['strategy_module'] slot."""
    import quorvane.strategy_loader as sl

    namespace = vars(sl)
    saved_namespace = list(namespace.items())
    registry = sl.BUILTIN_STRATEGIES
    saved_registry = list(registry.items())
    missing = object()
    saved_slot = sys.modules.get("strategy_module", missing)
    try:
        yield
    finally:
        if [(k, id(v)) for k, v in namespace.items()] != [(k, id(v)) for k, v in saved_namespace]:
            namespace.clear()
            namespace.update(saved_namespace)
        registry.clear()
        registry.update(saved_registry)
        if saved_slot is missing:
            sys.modules.pop("strategy_module", None)
        else:
            sys.modules["strategy_module"] = saved_slot


# Test doubles shared by the reliability tests ******************************


class Boom(Exception):
    pass


class Rec(Strategy):
    """Records the keywords it was constructed with, in order."""

    def __init__(self, **kwargs):
        self.received = list(kwargs.items())


class RecBase(BaseStrategy):
    """Records the keywords it was constructed with, in order."""

    def __init__(self, **kwargs):
        self.received = list(kwargs.items())


class Neither:
    pass


class Abstract(Strategy, metaclass=abc.ABCMeta):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


class EqRaises(str):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__
