"""The command line, ``python -m quorvane``: list, load and run strategies.

Everything it prints goes to standard output; an error is one line on
standard error and exit status 2 (the full traceback only with
``--traceback``).  It writes no file except the plot the user names: no
bytecode cache for a strategy file, no log.

Each subcommand lives in a module of its own with a ``register`` function
that adds its parser.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import IO

from quorvane import __version__

from . import catalog, run
from .options import _DESCRIPTION, CliError, _Parser, common_parent, loading_parent, parse_params, parse_value
from .run import Progress, _open_data, parse_dates, read_bars

__all__ = ["main", "CliError", "Progress", "parse_dates", "parse_params", "parse_value",
           "read_bars", "_open_data"]


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description=_DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"quorvane {__version__}")
    parser.add_argument("--traceback", action="store_true",
                        help="on an error, print the full traceback instead of one line")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)
    common, loading = common_parent(), loading_parent()
    for module in (catalog, run):
        module.register(commands, common, loading)
    return parser



def _one_line(exc: BaseException) -> str:
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _warning_to_stdout(message: Warning | str, category: type[Warning], filename: str,
                       lineno: int, file: object = None, line: str | None = None) -> None:
    print(f"warning: {category.__name__}: {message}", file=sys.stdout)


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command line; return the exit status."""
    parser = build_parser(prog or os.path.basename(sys.argv[0]) or "quorvane")
    saved = sys.dont_write_bytecode, warnings.showwarning
    # A strategy file would otherwise leave a __pycache__ beside it.
    sys.dont_write_bytecode = True
    warnings.showwarning = _warning_to_stdout
    show_traceback = False
    try:
        try:
            args = parser.parse_args(argv)
        except CliError as exc:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
            return 2
        show_traceback = args.traceback
        handler: Callable[[argparse.Namespace, IO[str]], int] = args.handler
        try:
            return handler(args, sys.stdout)
        except SystemExit as exc:
            # Strategy code that exits must not pass for a finished run.
            raise RuntimeError(f"the strategy code called sys.exit({exc.code!r})") from exc
    except CliError as exc:
        if show_traceback:
            import traceback
            traceback.print_exc()
        else:
            print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): nothing left to tell anyone.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:
        if show_traceback:
            import traceback
            traceback.print_exc()
        else:
            print(f"{parser.prog}: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    finally:
        sys.dont_write_bytecode, warnings.showwarning = saved
