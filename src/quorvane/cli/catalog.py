"""``list`` and ``load``: what strategies there are, where they come from,
and what one loads as."""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator
from dataclasses import asdict, dataclass
from typing import IO, Any

from quorvane import plugins, sources
from quorvane.messages import strategy_params
from quorvane.strategy_classes import registry

from .options import (_DESCRIPTION, add_strategy_path, class_path, display_path, first_doc_line,
                      load_from_args)


@dataclass(frozen=True)
class Row:
    """One line of ``list``; ``list --json`` prints these fields."""

    name: str
    cls: str
    kind: str          # "built-in", "plugin" or "file"
    source: str        # "built-in", the plugin's distribution, or the file
    status: str        # "ok", "failed" or "skipped"
    reason: str | None = None
    description: str = ""

    def as_json(self) -> dict[str, object]:
        fields = asdict(self)
        return {"name": fields.pop("name"), "class": fields.pop("cls"), **fields}


def rows(strategy_paths: list[str]) -> Iterator[Row]:
    """The registry (built-in and plugin strategies), the plugins that did not
    load, then the strategy folders' classes."""
    names = registry()
    for name, registered in names.items():
        plugin = plugins.provider(name, registered)
        kind, source = ("plugin", plugin.distribution) if plugin else ("built-in", "built-in")
        yield Row(name, registered.__qualname__, kind, source, "ok",
                  description=first_doc_line(registered))
    for report in plugins.reports():
        if report.status != "loaded":
            yield Row(report.name, report.value.rpartition(":")[2] or report.value, "plugin",
                      report.distribution, report.status, report.reason)
    taken: dict[str, str] = {name: "a registered strategy" for name in names}
    for entry in sources.scan_folders(sources.strategy_folders(strategy_paths)):
        where = display_path(entry.path)
        if entry.error:
            yield Row(entry.name, "", "file", where, "failed", entry.error)
            continue
        holder = taken.get(entry.name.lower())
        if holder is not None:
            # The class name may still reach it; the path always does.
            other = (f"the class name {entry.class_name}"
                     if entry.class_name.lower() not in taken else f"the path {where}")
            yield Row(entry.name, entry.class_name, "file", where, "skipped",
                      f"the name is taken by {holder}; use {other}", entry.doc)
            continue
        taken[entry.name.lower()] = where
        yield Row(entry.name, entry.class_name, "file", where, "ok", description=entry.doc)


def cmd_list(args: argparse.Namespace, out: IO[str]) -> int:
    listed = list(rows(args.strategy_path))
    if args.json:
        json.dump([row.as_json() for row in listed], out, indent=2)
        out.write("\n")
        return 0
    table = [("name", "class", "source", "status")]
    table += [(row.name, row.cls or "-", row.source,
               row.status if row.reason is None else f"{row.status}: {row.reason}")
              for row in listed]
    widths = [max(len(line[column]) for line in table) for column in range(3)]
    for line in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)) + "  " + line[3],
              file=out)
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
    listing = commands.add_parser(
        "list", parents=[common], help="list the strategies: built-in, plugins, strategy folders",
        description="List every strategy a specification may name: the built-in ones, those of "
                    "installed plugins, and the classes in the files of the strategy folders "
                    "(found by reading the files, which are not run). Each shows its name, "
                    "class, source and status (ok, or failed or skipped with the reason).")
    listing.add_argument("--json", action="store_true",
                         help="print a JSON list of objects with the keys name, class, kind, "
                              "source, status, reason and description")
    add_strategy_path(listing)
    listing.set_defaults(handler=cmd_list)

    load = commands.add_parser("load", parents=[loading, common],
                               help="load a strategy and show its class and parameters",
                               description="Load a strategy and print its class and parameters. "
                                           + _DESCRIPTION.split(". ", 1)[1])
    load.set_defaults(handler=cmd_load)
