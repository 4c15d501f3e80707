"""What every subcommand shares: the error type, the parser class, the
parent parsers, and turning options into ``load_strategy`` arguments."""

from __future__ import annotations

import argparse
import ast
from collections.abc import Mapping, Sequence
from typing import Any, NoReturn

# Keyword names the loader binds itself; the command line has its own
# options for them.
_RESERVED_PARAMS = {
    "strategy_spec": "the strategy is the SPEC argument",
    "symbols": "use --symbols A,B",
    "class_name": "use --class-name NAME",
}

_SPEC_HELP = (
    "the strategy: a built-in name (see the list command), the path of a .py "
    "file, or a module path such as package.module.ClassName. A file or module "
    "is imported and its code runs: only name code you trust."
)
_DESCRIPTION = (
    "List, load and run quorvane strategies. Loading a strategy from a .py file "
    "or a module path executes that code with your permissions: never pass a "
    "specification that came from someone you do not trust."
)


class CliError(Exception):
    """A mistake in the command line or in its input, reported as it stands."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block plus message.
        raise CliError(f"{message} (see {self.prog} --help)")


# -- turning options into loader arguments -------------------------------------

def parse_value(text: str) -> object:
    """``text`` as a Python literal (20, 0.5, True, None, 'x', [1, 2]) where it
    is one, else the text itself."""
    try:
        return ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return text


def parse_params(items: Sequence[str]) -> dict[str, object]:
    """The ``--param KEY=VALUE`` options as keyword arguments, in their order."""
    params: dict[str, object] = {}
    for item in items:
        key, sep, raw = item.partition("=")
        key = key.strip()
        if not sep or not key:
            raise CliError(f"--param expects KEY=VALUE, got {item!r}")
        if not key.isidentifier():
            raise CliError(f"--param {key!r}: a parameter name must be a Python identifier")
        if key in _RESERVED_PARAMS:
            raise CliError(f"--param {key}: {_RESERVED_PARAMS[key]}")
        if key in params:
            raise CliError(f"--param {key} is given more than once")
        params[key] = parse_value(raw)
    return params


def parse_symbols(text: str | None) -> list[str] | None:
    """``--symbols A,B`` as ['A', 'B']; None when the option is absent."""
    if text is None:
        return None
    symbols = [part.strip() for part in text.split(",")]
    if not all(symbols):
        raise CliError(f"--symbols expects ticker symbols separated by commas, got {text!r}")
    return symbols


def load_from_args(args: argparse.Namespace) -> Any:
    """Load the strategy that the options name, through ``load_strategy``."""
    keywords: dict[str, object] = {}
    # Passed only when given: a built-in strategy's constructor would refuse it.
    if args.class_name is not None:
        keywords["class_name"] = args.class_name
    keywords.update(parse_params(args.param))
    symbols = parse_symbols(args.symbols)
    return _loader().load_strategy(args.spec, symbols=symbols, **keywords)


def _loader() -> Any:
    try:
        import quorvane.strategy_loader as loader
    except ModuleNotFoundError as exc:
        if exc.name != "quorvane.strategy_loader":
            raise
        raise CliError("the compiled module quorvane.strategy_loader is missing: "
                       "install the package (pip install .) and run it from there") from exc
    return loader


# -- describing strategies -------------------------------------------------------

def first_doc_line(cls: type) -> str:
    """The first line of the class's own docstring (not one it inherits)."""
    doc = cls.__dict__.get("__doc__")
    if not isinstance(doc, str) or not doc.strip():
        return "(no description)"
    return doc.strip().splitlines()[0].strip()


def class_path(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


def strategy_params(strategy: object) -> Mapping[str, object] | None:
    params = getattr(strategy, "params", None)
    return params if isinstance(params, Mapping) else None


def describe(strategy: object) -> str:
    """``ClassName(key=value, ...)`` from the strategy's ``params``."""
    params = strategy_params(strategy) or {}
    inner = ", ".join(f"{key}={value!r}" for key, value in params.items())
    return f"{type(strategy).__name__}({inner})"




def common_parent() -> argparse.ArgumentParser:
    """Options every subcommand accepts."""
    # SUPPRESS keeps a subcommand from overwriting a --traceback given
    # before the subcommand.
    common = _Parser(add_help=False)
    common.add_argument("--traceback", action="store_true", default=argparse.SUPPRESS,
                        help="on an error, print the full traceback instead of one line")
    return common


def loading_parent() -> argparse.ArgumentParser:
    """The SPEC argument and the options that go to ``load_strategy``."""
    loading = _Parser(add_help=False)
    loading.add_argument("spec", metavar="SPEC", help=_SPEC_HELP)
    loading.add_argument("--symbols", metavar="A,B",
                         help="ticker symbols, separated by commas (used by Strategy subclasses)")
    loading.add_argument("--class-name", metavar="NAME",
                         help="the class to take from a strategy file holding several")
    loading.add_argument("--param", metavar="KEY=VALUE", action="append", default=[],
                         help="a keyword argument for the strategy; VALUE is read as a Python "
                              "literal (20, 0.5, True, 'text') where it is one, else as text. "
                              "Repeat for more.")
    return loading
