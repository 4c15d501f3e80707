"""The pure-Python peer of ``quorvane.strategy_loader``, for the benchmark.

This is the module a Python developer would write instead of the compiled
one: the same five functions, the same observable steps and the same
messages, in plain idiomatic Python. Names such as ``Strategy``,
``BUILTIN_STRATEGIES`` and ``Path`` are ordinary module globals, so they are
looked up at call time and a caller that rebinds one is seen by the next
call, just as in the compiled module.

Differences that cannot be avoided in Python and do not matter for timing:
argument-binding errors carry the interpreter's own wording ("missing 1
required positional argument" rather than "takes exactly 2 positional
arguments (1 given)"), and traceback entries point into this file.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from typing import Any, List, Optional, Union

from quorvane.trader_core.strategies import (
    BaseStrategy,
    BollingerMeanReversionStrategy,
    DualSMAMomentumStrategy,
    MACDCrossoverStrategy,
    RSIMomentumStrategy,
    SMAMomentumStrategy,
    VWAPReversionStrategy,
)
from quorvane.trader_core.strategies.base import BaseStrategy as InternalBaseStrategy
from quorvane.strategy import Strategy

BUILTIN_STRATEGIES = {
    "sma_momentum": SMAMomentumStrategy,
    "dual_sma_momentum": DualSMAMomentumStrategy,
    "rsi_momentum": RSIMomentumStrategy,
    "macd_crossover": MACDCrossoverStrategy,
    "bollinger_mean_reversion": BollingerMeanReversionStrategy,
    "vwap_reversion": VWAPReversionStrategy,
}

__all__ = [
    "load_strategy",
    "load_strategy_from_file",
    "load_strategy_from_module",
    "register_strategy",
    "list_strategies",
    "BUILTIN_STRATEGIES",
]

_SUBCLASS_NOTE = (
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False."
)


def _argument_type_error(argument: str, expected: type, value: object) -> TypeError:
    # The compiled module accepts exactly the annotated type; refuse the same
    # values with the same text.
    error = TypeError(
        f"Argument '{argument}' has incorrect type "
        f"(expected {expected.__name__}, got {type(value).__name__})"
    )
    if issubclass(type(value), expected):
        error.add_note(_SUBCLASS_NOTE)
    return error


def load_strategy(
    strategy_spec: Union[str, Strategy, InternalBaseStrategy],
    symbols: Optional[List[str]] = None,
    **kwargs: Any,
) -> Union[Strategy, InternalBaseStrategy]:
    """
    Load strategy from various formats.
    
    Args:
        strategy_spec: Strategy name, file path, class, or instance
        symbols: List of symbols (for Strategy class instantiation)
        **kwargs: Additional arguments for strategy instantiation
    
    Returns:
        Strategy instance
    
    Examples:
        # Built-in strategy
        strategy = load_strategy('sma_momentum', ma_period=20)
        
        # From file
        strategy = load_strategy('user_strategies/my_strategy.py')
        
        # From class
        strategy = load_strategy(MyStrategy, symbols=['OGDC'])
    """
    if symbols is not None and type(symbols) is not list:
        raise _argument_type_error("symbols", list, symbols)

    if isinstance(strategy_spec, (Strategy, InternalBaseStrategy)):
        return strategy_spec

    if isinstance(strategy_spec, type):
        if issubclass(strategy_spec, Strategy):
            return strategy_spec(symbols=symbols or [], **kwargs)
        if issubclass(strategy_spec, InternalBaseStrategy):
            return strategy_spec(**kwargs)
        raise ValueError("Strategy class must inherit from Strategy or BaseStrategy")

    if isinstance(strategy_spec, str):
        if strategy_spec.lower() in BUILTIN_STRATEGIES:
            strategy_class = BUILTIN_STRATEGIES[strategy_spec.lower()]
            # A caller's symbols reach a registered Strategy subclass rather
            # than being dropped without a word.
            if symbols and isinstance(strategy_class, type) and issubclass(strategy_class, Strategy):
                return strategy_class(symbols=symbols, **kwargs)
            return strategy_class(**kwargs)

        strategy_path = Path(strategy_spec)
        if strategy_path.exists() and strategy_path.suffix == ".py":
            return load_strategy_from_file(strategy_path, symbols=symbols, **kwargs)

        if "." in strategy_spec:
            return load_strategy_from_module(strategy_spec, symbols=symbols, **kwargs)

        raise ValueError(
            f"Strategy '{strategy_spec}' not found. "
            f"Available built-in strategies: {list(BUILTIN_STRATEGIES.keys())}"
        )

    raise ValueError(f"Invalid strategy specification: {type(strategy_spec)}")


def load_strategy_from_file(
    file_path: Path,
    symbols: Optional[List[str]] = None,
    class_name: Optional[str] = None,
    **kwargs: Any,
) -> Union[Strategy, InternalBaseStrategy]:
    """
    Load strategy from a Python file.
    
    Args:
        file_path: Path to Python file
        symbols: List of symbols (for Strategy class)
        class_name: Name of strategy class (if None, auto-detect)
        **kwargs: Additional arguments for strategy instantiation
    
    Returns:
        Strategy instance
    """
    if symbols is not None and type(symbols) is not list:
        raise _argument_type_error("symbols", list, symbols)
    if class_name is not None and type(class_name) is not str:
        raise _argument_type_error("class_name", str, class_name)

    file_path = Path(file_path).resolve()
    if not file_path.exists():
        raise FileNotFoundError(f"Strategy file not found: {file_path}")

    spec = importlib.util.spec_from_file_location("strategy_module", file_path)
    if spec is None or spec.loader is None:
        raise ValueError(f"Could not load strategy from {file_path}")

    module = importlib.util.module_from_spec(spec)
    sys.modules["strategy_module"] = module
    spec.loader.exec_module(module)

    if class_name:
        if not hasattr(module, class_name):
            raise ValueError(f"Class '{class_name}' not found in {file_path}")
        strategy_class = getattr(module, class_name)
    else:
        strategy_class = None
        for name in dir(module):
            obj = getattr(module, name)
            if (
                isinstance(obj, type)
                and (issubclass(obj, Strategy) or issubclass(obj, InternalBaseStrategy))
                and obj != Strategy
                and obj != InternalBaseStrategy
            ):
                if strategy_class is not None:
                    raise ValueError(
                        f"Multiple strategy classes found in {file_path}. "
                        "Specify class_name parameter."
                    )
                strategy_class = obj
        if strategy_class is None:
            raise ValueError(
                f"No strategy class found in {file_path}. "
                "Define a class that inherits from Strategy or BaseStrategy."
            )

    if issubclass(strategy_class, Strategy):
        return strategy_class(symbols=symbols or [], **kwargs)
    return strategy_class(**kwargs)


def load_strategy_from_module(
    module_path: str,
    symbols: Optional[List[str]] = None,
    **kwargs: Any,
) -> Union[Strategy, InternalBaseStrategy]:
    """
    Load strategy from module path (e.g., 'user_strategies.my_strategy.MyStrategy').
    
    Args:
        module_path: Dot-separated module path
        symbols: List of symbols (for Strategy class)
        **kwargs: Additional arguments for strategy instantiation
    
    Returns:
        Strategy instance
    """
    if type(module_path) is not str:
        raise _argument_type_error("module_path", str, module_path)
    if symbols is not None and type(symbols) is not list:
        raise _argument_type_error("symbols", list, symbols)

    parts = module_path.split(".")
    if len(parts) < 2:
        raise ValueError(f"Invalid module path: {module_path}")
    class_name = parts[-1]
    module_name = ".".join(parts[:-1])

    module = importlib.import_module(module_name)
    strategy_class = getattr(module, class_name)

    if issubclass(strategy_class, Strategy):
        return strategy_class(symbols=symbols or [], **kwargs)
    return strategy_class(**kwargs)


def register_strategy(name: str, strategy_class: type) -> None:
    """
    Register a custom strategy for reuse.
    
    Args:
        name: Strategy name
        strategy_class: Strategy class
    """
    if type(name) is not str:
        raise _argument_type_error("name", str, name)
    if type(strategy_class) is not type:
        raise _argument_type_error("strategy_class", type, strategy_class)

    if not (issubclass(strategy_class, Strategy) or issubclass(strategy_class, InternalBaseStrategy)):
        raise ValueError("strategy_class must inherit from Strategy or BaseStrategy")
    BUILTIN_STRATEGIES[name.lower()] = strategy_class


def list_strategies() -> List[str]:
    """List all available built-in strategies."""
    return list(BUILTIN_STRATEGIES.keys())
