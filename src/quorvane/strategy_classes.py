"""What counts as a strategy, for the Python side of the package: which
classes are strategy classes, which of them a module exposes, which class
names a strategy file's source may derive from, and which names the
registry holds.

The compiled loader applies these rules when it loads; this module states
them once for the code that must answer without loading (listing strategy
folders, describing a class, checking a module path or a plugin, explaining
a mistake).  It reads the framework's two base classes and the loader's
registry, never a list of names of its own.

Importing it imports neither the compiled loader nor numpy or pandas.
"""

from __future__ import annotations

import functools
import types

from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

__all__ = ["BASES", "is_strategy_class", "module_classes", "base_class_names", "registry",
           "registered", "not_a_strategy_class"]

# The two base classes, Strategy first: its subclasses receive the symbols.
BASES: tuple[type, type] = (Strategy, BaseStrategy)


def is_strategy_class(obj: object) -> bool:
    """Whether ``obj`` is a class deriving from ``Strategy`` or ``BaseStrategy``."""
    return isinstance(obj, type) and issubclass(obj, BASES)


def module_classes(module: object) -> list[str]:
    """The names under which ``module`` exposes strategy classes, in ``dir``
    order, the two base classes left out: what the loader's scan of a
    strategy file's module meets (a class bound under two names counts
    twice, an imported one as much as one defined there)."""
    return [name for name in dir(module)
            if is_strategy_class(value := getattr(module, name, None)) and value not in BASES]


@functools.cache
def base_class_names() -> frozenset[str]:
    """The class names that make a class of a strategy file's source a
    strategy class when it derives from one: the two base classes and the
    framework's built-in strategy classes."""
    from quorvane.trader_core import strategies
    builtin = [getattr(strategies, name) for name in module_classes(strategies)]
    return frozenset(cls.__name__ for cls in (*BASES, *builtin))


def registry() -> dict[str, type]:
    """A copy of the loader's registry ``BUILTIN_STRATEGIES``: lower-case
    names (built-in, plugin and registered ones) to their classes, in order."""
    import quorvane.strategy_loader as loader
    return dict(loader.BUILTIN_STRATEGIES)


def registered(name: str) -> type | None:
    """The class the registry holds for ``name`` (letter case ignored, as
    ``load_strategy`` matches it), or None."""
    import quorvane.strategy_loader as loader
    return loader.BUILTIN_STRATEGIES.get(name.lower())


def not_a_strategy_class(what: str, obj: object) -> str:
    """The message for ``obj``, named by ``what``, where a strategy class was wanted."""
    if isinstance(obj, type):
        return (f"{what} is not a strategy class: it derives from neither "
                "quorvane.strategy.Strategy nor quorvane.trader_core.strategies.BaseStrategy")
    if isinstance(obj, types.ModuleType):
        kind = "a module"
    elif callable(obj):
        kind = "a function"
    else:
        kind = f"an object of type {type(obj).__name__}"
    return f"{what} is {kind}, not a strategy class"
