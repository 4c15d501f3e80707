"""The command line, ``quorvane`` (or ``python -m quorvane``): list,
describe, load and run strategies.

Results go to standard output (with ``--json`` the JSON document alone: what
the strategy prints goes to standard error), warnings to standard error; an
error is one line on standard error and exit status 2 (the full traceback
only with ``--traceback``).  Ctrl-C ends the command with status 130,
SIGTERM with 143, a reader of standard output that left with 1.  It writes no file except the plot the user names: no
bytecode cache for a strategy file, no log.

At start it registers the strategies of installed plugins (the entry-point
group ``quorvane.strategies``).  While it runs, the current directory is on
``sys.path`` (for module paths) and so is the folder of a strategy file (for
the helper modules beside it); both are removed again when ``main`` returns.

Each subcommand lives in a module of its own with a ``register`` function
that adds its parser.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import sys
import sysconfig
import traceback
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO

from quorvane import __version__, plugins
from quorvane.messages import one_line
from quorvane.sources import StrategySourceError

from . import catalog, describe, run, sweep, walkforward
from .options import _DESCRIPTION, CliError, _loader, _Parser, common_parent, loading_parent
from .process import TERMINATED_STATUS, Terminated, discard_stdout, results_only, sigterm_stops

__all__ = ["main", "program"]


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description=_DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"quorvane {__version__}")
    parser.add_argument("--traceback", action="store_true",
                        help="on an error, print the full traceback instead of one line")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)
    common, loading = common_parent(), loading_parent()
    for module in (catalog, describe, run, sweep, walkforward):
        module.register(commands, common, loading)
    return parser



def _folders(paths: Sequence[str]) -> tuple[str, ...]:
    return tuple(os.path.join(os.path.realpath(path), "") for path in paths)


def _installed_user_code() -> list[str]:
    """The folders of installed packages that hold user code: those of the
    plugins and of an imported module path's top-level package."""
    roots = []
    modules = [report.strategy_class.__module__ for report in plugins.reports()
               if report.strategy_class is not None]
    for name in modules + list(_module_path_packages):
        module = sys.modules.get(name.partition(".")[0])
        where = getattr(module, "__file__", None)
        if where:
            roots.append(os.path.dirname(where) if hasattr(module, "__path__") else where)
    return roots


# Top-level packages of the module path being loaded; set by main.
_module_path_packages: set[str] = set()


def _user_frame(exc: BaseException) -> traceback.FrameSummary | None:
    """The innermost frame of the exception (or of the exception it was
    raised from) in the user's own code: outside the interpreter's library
    and this package, and outside the installed packages except for the
    plugins' and the module path's own."""
    paths = sysconfig.get_paths()
    ours = _folders([paths["stdlib"], paths["platstdlib"], str(Path(__file__).parent.parent)])
    installed = _folders([paths["purelib"], paths["platlib"]])
    users = _folders(_installed_user_code())
    seen: set[int] = set()
    current: BaseException | None = exc
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        for frame in reversed(traceback.extract_tb(current.__traceback__)):
            where = os.path.realpath(frame.filename)
            if not os.path.isabs(frame.filename) or where.startswith(ours):
                continue
            if not where.startswith(installed) or where.startswith(users):
                return frame
        current = current.__cause__
    return None


def _where(frame: traceback.FrameSummary) -> str:
    path = frame.filename
    try:
        relative = os.path.relpath(path)
        if not relative.startswith(os.pardir):
            path = relative
    except ValueError:
        pass
    return f"{path}, line {frame.lineno}, in {frame.name}"


def _warning_to_stderr(message: Warning | str, category: type[Warning], filename: str,
                       lineno: int, file: object = None, line: str | None = None) -> None:
    # One line, beside the errors: standard output holds results only.
    print(f"warning: {category.__name__}: {message}", file=sys.stderr)


def program(prog: str | None = None) -> int:
    """The ``quorvane`` program: :func:`main` on ``sys.argv``, in a process
    that ends when it returns."""
    status = main(prog=prog)
    # What is left is the interpreter's teardown, whose collections walk
    # every object of pandas and pyarrow again: frozen, they are skipped,
    # and a run ends about 0.1 s sooner (bench/backtest.py). Files, streams
    # and exit handlers are closed and run as before.
    gc.freeze()
    return status


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command line; return the exit status."""
    parser = build_parser(prog or os.path.basename(sys.argv[0]) or "quorvane")
    try:
        with sigterm_stops():
            return _main(parser, argv)
    except Terminated:
        print(f"{parser.prog}: terminated", file=sys.stderr)
        return TERMINATED_STATUS


def _main(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> int:
    saved = sys.dont_write_bytecode, warnings.showwarning, list(sys.path)
    # A strategy file would otherwise leave a __pycache__ beside it.
    sys.dont_write_bytecode = True
    warnings.showwarning = _warning_to_stderr
    # Module paths resolve from the current directory, as with `python -m`;
    # the console script does not put it on the path by itself.
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.append(os.getcwd())
    show_traceback = False
    try:
        try:
            args = parser.parse_args(argv)
        except CliError as exc:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
            return 2
        except SystemExit:
            sys.stdout.flush()  # --help, --version: a reader that left is told here
            raise
        show_traceback = args.traceback
        spec = getattr(args, "spec", None)
        if isinstance(spec, str) and "." in spec and not spec.endswith(".py"):
            _module_path_packages.add(spec.partition(".")[0])
        handler: Callable[[argparse.Namespace, IO[str]], int] = args.handler
        # With --json, standard output holds the JSON document alone, from
        # the plugins' import to the strategy's last print.
        results = (results_only(sys.stdout) if getattr(args, "json", False)
                   else contextlib.nullcontext(sys.stdout))
        with results as out:
            _loader()
            plugins.register_entry_points()
            try:
                status = handler(args, out)
            except SystemExit as exc:
                # Strategy code that exits must not pass for a finished run.
                raise RuntimeError(f"the strategy code called sys.exit({exc.code!r})") from exc
            # Buffered results meet a reader that left here, while the
            # exit status is still this function's to give.
            out.flush()
        return status
    except (CliError, StrategySourceError) as exc:
        if show_traceback:
            traceback.print_exc()
        else:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    except Terminated:
        raise  # main says so, whenever it comes
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): nothing left to tell anyone.
        discard_stdout()
        return 1
    except SystemExit:
        raise  # --help and --version
    except BaseException as exc:
        # Any other exception, one that derives from BaseException alone
        # included, is an error of the command.
        if show_traceback:
            traceback.print_exc()
        else:
            frame = _user_frame(exc)
            where = (f" ({_where(frame)}); rerun with --traceback for the full traceback"
                     if frame is not None else "")
            print(f"{parser.prog}: error: {one_line(exc)}{where}", file=sys.stderr)
        return 2
    finally:
        sys.dont_write_bytecode, warnings.showwarning, sys.path[:] = saved
