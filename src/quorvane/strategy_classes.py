"""What counts as a strategy, for the Python side of the package: which
classes are strategy classes, which of them a module exposes, which class
names a strategy file may derive from, and which names the registry holds.
The loader applies these rules when it loads; this module reads them from the
framework's two base classes and the loader's registry, and imports neither
the loader (until the registry is asked for) nor numpy or pandas.
"""

from __future__ import annotations

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
    strategy file's module meets."""
    return [name for name in dir(module)
            if is_strategy_class(value := getattr(module, name, None)) and value not in BASES]


def base_class_names() -> frozenset[str]:
    """The class names that make a class of a strategy file's source a
    strategy class: the two base classes and the built-in strategy classes."""
    from quorvane.trader_core import strategies
    builtin = [getattr(strategies, name) for name in module_classes(strategies)]
    return frozenset(cls.__name__ for cls in (*BASES, *builtin))


def registry() -> dict[str, type]:
    """A copy of the loader's registry ``BUILTIN_STRATEGIES``, in its order."""
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
