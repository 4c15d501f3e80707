"""Types of the compiled module ``quorvane.strategy_loader``."""

from os import PathLike
from typing import Any, TypeVar, overload

from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

__all__ = [
    "load_strategy",
    "load_strategy_from_file",
    "load_strategy_from_module",
    "register_strategy",
    "list_strategies",
    "BUILTIN_STRATEGIES",
]

_AnyStrategy = Strategy | BaseStrategy
_StrategyClass = type[Strategy] | type[BaseStrategy]
_S = TypeVar("_S", bound=Strategy | BaseStrategy)

# Lower-case name -> strategy class, in registration order.
BUILTIN_STRATEGIES: dict[str, _StrategyClass]

# An instance comes back as it is; a class comes back instantiated.
@overload
def load_strategy(strategy_spec: _S, symbols: list[str] | None = None, **kwargs: Any) -> _S: ...
@overload
def load_strategy(
    strategy_spec: type[_S], symbols: list[str] | None = None, **kwargs: Any
) -> _S: ...
# A built-in name, a .py file path or a module path 'package.module.Class'.
@overload
def load_strategy(
    strategy_spec: str, symbols: list[str] | None = None, **kwargs: Any
) -> _AnyStrategy: ...
def load_strategy_from_file(
    file_path: str | PathLike[str],
    symbols: list[str] | None = None,
    class_name: str | None = None,
    **kwargs: Any,
) -> _AnyStrategy: ...
def load_strategy_from_module(
    module_path: str, symbols: list[str] | None = None, **kwargs: Any
) -> _AnyStrategy: ...
def register_strategy(name: str, strategy_class: _StrategyClass) -> None: ...
def list_strategies() -> list[str]: ...
