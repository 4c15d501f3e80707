"""``list`` and ``load``: what strategies there are, and what one loads as."""

from __future__ import annotations

import argparse
from typing import IO, Any

from .options import _DESCRIPTION, _loader, class_path, first_doc_line, load_from_args, strategy_params

def cmd_list(args: argparse.Namespace, out: IO[str]) -> int:
    loader = _loader()
    rows = []
    for name in loader.list_strategies():
        cls = loader.BUILTIN_STRATEGIES[name]
        rows.append((name, cls.__qualname__, first_doc_line(cls)))
    name_width = max((len(row[0]) for row in rows), default=0)
    class_width = max((len(row[1]) for row in rows), default=0)
    for name, cls_name, doc in rows:
        print(f"{name:<{name_width}}  {cls_name:<{class_width}}  {doc}", file=out)
    return 0


def cmd_load(args: argparse.Namespace, out: IO[str]) -> int:
    strategy = load_from_args(args)
    print(f"class: {class_path(type(strategy))}", file=out)
    symbols = getattr(strategy, "symbols", None)
    if isinstance(symbols, list):
        print(f"symbols: {', '.join(map(str, symbols)) if symbols else '(none)'}", file=out)
    else:
        print("symbols: (not used by this strategy)", file=out)
    params = strategy_params(strategy)
    if params is None:
        print("parameters: (the strategy keeps no params dict)", file=out)
    elif not params:
        print("parameters: (none)", file=out)
    else:
        print("parameters:", file=out)
        for key, value in params.items():
            print(f"  {key} = {value!r}", file=out)
    return 0



def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    listing = commands.add_parser("list", parents=[common], help="list the registered strategies",
                                  description="List every registered strategy name with its "
                                              "class and the first line of its description.")
    listing.set_defaults(handler=cmd_list)

    load = commands.add_parser("load", parents=[loading, common],
                               help="load a strategy and show its class and parameters",
                               description="Load a strategy and print its class and parameters. "
                                           + _DESCRIPTION.split(". ", 1)[1])
    load.set_defaults(handler=cmd_load)
