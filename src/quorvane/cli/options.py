"""What every subcommand shares: the error type, the parser class, the
parent parsers, and turning options into ``load_strategy`` arguments."""

from __future__ import annotations

import argparse
import inspect
import math
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, NoReturn

from quorvane import plugins, sources
from quorvane.params import ParameterError, parse_items, parse_literal
from quorvane.strategy_classes import registered

_SPEC_HELP = (
    "the strategy: a name from the list command (built-in, plugin or strategy "
    "folder), the path of a .py file, or a module path such as "
    "package.module.ClassName. A file or module is imported and its code runs: "
    "only name code you trust."
)
_FOLDER_HELP = (
    "a folder of strategy files whose classes may be named by class name or file "
    "stem; repeat for more (also read from QUORVANE_STRATEGY_PATH, a path list)"
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

def parse_params(items: Sequence[str]) -> dict[str, object]:
    """The ``--param KEY=VALUE`` options as keyword arguments, in their order."""
    try:
        return parse_items(items, "--param", "KEY=VALUE", lambda text, _: parse_literal(text))
    except ParameterError as exc:
        raise CliError(str(exc)) from None


def parse_symbols(text: str | None) -> list[str] | None:
    """``--symbols A,B`` as ['A', 'B']; None when the option is absent."""
    if text is None:
        return None
    symbols = [part.strip() for part in text.split(",")]
    if not all(symbols):
        raise CliError(f"--symbols expects ticker symbols separated by commas, got {text!r}")
    return symbols


def strategy_paths(args: argparse.Namespace) -> list[str]:
    """The ``--strategy-path`` options (the environment variable is read by
    :mod:`quorvane.sources` itself)."""
    return list(getattr(args, "strategy_path", None) or [])


def resolve_from_args(args: argparse.Namespace) -> tuple[str, dict[str, object]]:
    """``args.spec`` as ``load_strategy`` wants it, with the keywords that go
    with it (``class_name``, from ``--class-name`` or from a strategy folder).

    A strategy file's folder goes to the front of ``sys.path``, as for
    ``python file.py``, so that helper modules beside it import; ``main``
    puts ``sys.path`` back when the command ends.
    """
    _loader()
    try:
        spec, keywords = sources.resolve(args.spec, strategy_paths(args))
    except sources.StrategyNotFoundError:
        # A plugin that failed to load takes no name, but the user meant it.
        for report in plugins.reports():
            if report.name == args.spec.lower() and report.status == "failed":
                raise CliError(f"the plugin strategy '{report.name}' of {report.distribution} "
                               f"could not be loaded: {report.reason}") from None
        raise
    # Passed only when given: a built-in strategy's constructor would refuse it.
    if args.class_name is not None:
        keywords["class_name"] = args.class_name
    if spec.endswith(".py") and Path(spec).is_absolute():
        folder = str(Path(spec).parent)
        if folder not in sys.path:
            sys.path.insert(0, folder)
    return spec, keywords


def target_from_args(args: argparse.Namespace) -> tuple[str, str | type, dict[str, object]]:
    """``(spec, target, keywords)``: the resolved strategy argument, what
    ``load_strategy`` is given for it (:func:`quorvane.sources.load_target`;
    a strategy file runs here) and the keywords that go with it."""
    spec, keywords = resolve_from_args(args)
    try:
        target, keywords = sources.load_target(spec, keywords)
    except sources.SeveralStrategyClassesError as exc:
        raise several_classes(exc) from exc
    return spec, target, keywords


def several_classes(exc: sources.SeveralStrategyClassesError) -> CliError:
    return CliError(f"{exc.path} holds several strategy classes: {', '.join(exc.names)}; "
                    "choose one with --class-name NAME")


def load_from_args(args: argparse.Namespace) -> Any:
    """Load the strategy that the options name: its class found as
    ``describe`` finds it, then built by ``load_strategy``.

    A ``--param`` that the class's constructor does not name is refused
    before anything is constructed, with the parameters it does name.
    """
    params = parse_params(args.param)
    symbols = parse_symbols(args.symbols)
    _, target, keywords = target_from_args(args)
    cls = target if isinstance(target, type) else registered(target)
    if cls is not None:
        _check_params(cls, params)
    return _loader().load_strategy(target, symbols, **keywords, **params)


def accepted_params(cls: type) -> list[str] | None:
    """The keyword parameters the class's constructor names, or None when it
    takes any (``**kwargs``) or cannot be inspected."""
    try:
        signature = inspect.signature(cls)
    except (TypeError, ValueError):
        return None
    names = []
    for parameter in signature.parameters.values():
        if parameter.kind is parameter.VAR_KEYWORD:
            return None
        if parameter.kind in (parameter.POSITIONAL_OR_KEYWORD, parameter.KEYWORD_ONLY):
            names.append(parameter.name)
    return [name for name in names if name != "symbols"]


def _check_params(cls: type, params: Mapping[str, object]) -> None:
    accepted = accepted_params(cls)
    unknown = [key for key in params if accepted is not None and key not in accepted]
    if not unknown:
        return
    key = unknown[0]
    assert accepted is not None
    takes = f"it accepts {', '.join(accepted)}" if accepted else "it takes no parameters"
    hint = sources.close_matches(key, accepted)
    suggestion = f"; did you mean {hint[0]}?" if hint else ""
    raise CliError(f"--param {key}: {cls.__qualname__} has no parameter '{key}'; "
                   f"{takes}{suggestion}")


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


def display_path(path: str | Path) -> str:
    """A path relative to the current directory when it lies below it."""
    relative = os.path.relpath(path)
    return Path(path).as_posix() if relative.startswith(os.pardir) else Path(relative).as_posix()


def class_path(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


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
    add_strategy_path(loading)
    return loading


def add_strategy_path(parser: argparse.ArgumentParser) -> None:
    """The repeatable ``--strategy-path DIR`` option."""
    parser.add_argument("--strategy-path", metavar="DIR", action="append", default=[],
                        help=_FOLDER_HELP)


def _real(expected: str, accepts: Callable[[float], bool], bound: str) -> Callable[[str], float]:
    """An argparse type: a number that ``accepts`` takes, else an error
    saying what was expected."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}") from None
        if not accepts(value):
            raise argparse.ArgumentTypeError(f"expected {bound}, got {text!r}")
        return value
    return parse


# A cost, finite and not negative.
basis_points = _real("basis points (a number)", lambda value: 0 <= value < math.inf,
                     "basis points of 0 or more")
# A stop: a positive fraction of the entry price.
_fraction = _real("a fraction of the entry price (0.02 is 2%)",
                  lambda value: 0 < value < math.inf, "a positive fraction (0.02 is 2%)")


def add_cost_options(parser: argparse.ArgumentParser) -> None:
    """``--commission`` and ``--slippage``, as ``run`` and ``sweep`` take them."""
    parser.add_argument("--commission", metavar="BPS", type=basis_points, default=0.0,
                        help="commission in basis points of the value traded (default 0)")
    parser.add_argument("--slippage", metavar="BPS", type=basis_points, default=0.0,
                        help="slippage in basis points of the value traded (default 0)")


def _whole(least: int) -> Any:
    def whole(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"expected {least} or more, got {text!r}")
        return value
    return whole


def add_account_options(parser: argparse.ArgumentParser) -> None:
    """The costs and the account's terms, as ``run`` and ``sweep`` take them:
    ``--commission``, ``--slippage``, ``--fill``, ``--rebalance``, the stops,
    ``--bars-per-year`` and ``--benchmark``."""
    add_cost_options(parser)
    parser.add_argument("--fill", choices=("close", "next-open"), default="close",
                        help="fill each target at the close that decided it (the default) or "
                             "at the next bar's open")
    parser.add_argument("--rebalance", metavar="R", type=_whole(0), default=0,
                        help="also re-size every symbol to its target on every R-th date "
                             "(default 0: only when a target changes)")
    parser.add_argument("--stop-loss", metavar="S", type=_fraction,
                        help="exit a trade S (a fraction: 0.02 is 2%%) below its entry price "
                             "(above, for a short)")
    parser.add_argument("--take-profit", metavar="T", type=_fraction,
                        help="exit a trade T above its entry price (below, for a short)")
    parser.add_argument("--trailing-stop", metavar="R", type=_fraction,
                        help="exit a trade R below its highest high since entry (above its "
                             "lowest low, for a short)")
    parser.add_argument("--bars-per-year", metavar="B", type=_whole(1),
                        help="annualise with B bars a year instead of the number read from "
                             "the dates")
    parser.add_argument("--benchmark", metavar="FILE",
                        help="measure beta, alpha and correlation against the closes of this "
                             "CSV or Parquet file (default: buying and holding the symbols)")


def account_keywords(args: argparse.Namespace) -> dict[str, Any]:
    """The options of :func:`add_account_options` as keywords of
    ``run_strategy`` and ``quorvane.sweep``, the benchmark read (a
    :class:`CliError` for a file that cannot be)."""
    keywords: dict[str, Any] = {name: getattr(args, name) for name in (
        "commission", "slippage", "fill", "rebalance", "stop_loss", "take_profit",
        "trailing_stop", "bars_per_year")}
    keywords["benchmark"] = None
    if args.benchmark is not None:
        from quorvane.backtest import benchmark_closes
        from quorvane.data import DataError
        try:
            keywords["benchmark"] = benchmark_closes(args.benchmark)
        except FileNotFoundError:
            raise CliError(f"--benchmark {args.benchmark}: no such file") from None
        except (DataError, ValueError) as exc:
            raise CliError(f"--benchmark: {exc}") from None
    return keywords
