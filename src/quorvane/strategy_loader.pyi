# Types of the compiled module quorvane.strategy_loader. The docstrings are
# the runtime ones, character for character (whitespace-only lines included,
# hence the piecewise literals), for tools that read them from this file.
(
    "\n"
    "Dynamic strategy loading utilities.\n"
    "\n"
    "Supports loading strategies from:\n"
    "- Built-in strategy names (e.g., 'sma_momentum')\n"
    "- File paths (e.g., 'user_strategies/my_strategy.py')\n"
    "- Class instances\n"
)

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

# The str overload comes first: editors that ignore the bound of _S would
# otherwise match a str specification to the instance overload and infer str.
# A built-in name, a .py file path or a module path 'package.module.Class'.
@overload
def load_strategy(
    strategy_spec: str, symbols: list[str] | None = None, **kwargs: Any
) -> _AnyStrategy:
    (
        "\n"
        "    Load strategy from various formats.\n"
        "    \n"
        "    Args:\n"
        "        strategy_spec: Strategy name, file path, class, or instance\n"
        "        symbols: List of symbols (for Strategy class instantiation)\n"
        "        **kwargs: Additional arguments for strategy instantiation\n"
        "    \n"
        "    Returns:\n"
        "        Strategy instance\n"
        "    \n"
        "    Examples:\n"
        "        # Built-in strategy\n"
        "        strategy = load_strategy('sma_momentum', ma_period=20)\n"
        "        \n"
        "        # From file\n"
        "        strategy = load_strategy('user_strategies/my_strategy.py')\n"
        "        \n"
        "        # From class\n"
        "        strategy = load_strategy(MyStrategy, symbols=['OGDC'])\n"
        "    "
    )
# A class comes back instantiated. Before the instance overload: editors that
# ignore the bound of _S would match a class to it and infer the class itself.
@overload
def load_strategy(
    strategy_spec: type[_S], symbols: list[str] | None = None, **kwargs: Any
) -> _S:
    (
        "\n"
        "    Load strategy from various formats.\n"
        "    \n"
        "    Args:\n"
        "        strategy_spec: Strategy name, file path, class, or instance\n"
        "        symbols: List of symbols (for Strategy class instantiation)\n"
        "        **kwargs: Additional arguments for strategy instantiation\n"
        "    \n"
        "    Returns:\n"
        "        Strategy instance\n"
        "    \n"
        "    Examples:\n"
        "        # Built-in strategy\n"
        "        strategy = load_strategy('sma_momentum', ma_period=20)\n"
        "        \n"
        "        # From file\n"
        "        strategy = load_strategy('user_strategies/my_strategy.py')\n"
        "        \n"
        "        # From class\n"
        "        strategy = load_strategy(MyStrategy, symbols=['OGDC'])\n"
        "    "
    )
# An instance comes back as it is.
@overload
def load_strategy(strategy_spec: _S, symbols: list[str] | None = None, **kwargs: Any) -> _S:
    (
        "\n"
        "    Load strategy from various formats.\n"
        "    \n"
        "    Args:\n"
        "        strategy_spec: Strategy name, file path, class, or instance\n"
        "        symbols: List of symbols (for Strategy class instantiation)\n"
        "        **kwargs: Additional arguments for strategy instantiation\n"
        "    \n"
        "    Returns:\n"
        "        Strategy instance\n"
        "    \n"
        "    Examples:\n"
        "        # Built-in strategy\n"
        "        strategy = load_strategy('sma_momentum', ma_period=20)\n"
        "        \n"
        "        # From file\n"
        "        strategy = load_strategy('user_strategies/my_strategy.py')\n"
        "        \n"
        "        # From class\n"
        "        strategy = load_strategy(MyStrategy, symbols=['OGDC'])\n"
        "    "
    )
def load_strategy_from_file(
    file_path: str | PathLike[str],
    symbols: list[str] | None = None,
    class_name: str | None = None,
    **kwargs: Any,
) -> _AnyStrategy:
    (
        "\n"
        "    Load strategy from a Python file.\n"
        "    \n"
        "    Args:\n"
        "        file_path: Path to Python file\n"
        "        symbols: List of symbols (for Strategy class)\n"
        "        class_name: Name of strategy class (if None, auto-detect)\n"
        "        **kwargs: Additional arguments for strategy instantiation\n"
        "    \n"
        "    Returns:\n"
        "        Strategy instance\n"
        "    "
    )
def load_strategy_from_module(
    module_path: str, symbols: list[str] | None = None, **kwargs: Any
) -> _AnyStrategy:
    (
        "\n"
        "    Load strategy from module path (e.g., 'user_strategies.my_strategy.MyStrategy').\n"
        "    \n"
        "    Args:\n"
        "        module_path: Dot-separated module path\n"
        "        symbols: List of symbols (for Strategy class)\n"
        "        **kwargs: Additional arguments for strategy instantiation\n"
        "    \n"
        "    Returns:\n"
        "        Strategy instance\n"
        "    "
    )
def register_strategy(name: str, strategy_class: _StrategyClass) -> None:
    (
        "\n"
        "    Register a custom strategy for reuse.\n"
        "    \n"
        "    Args:\n"
        "        name: Strategy name\n"
        "        strategy_class: Strategy class\n"
        "    "
    )
def list_strategies() -> list[str]:
    "List all available built-in strategies."
