"""``describe``: a strategy's class, description and constructor parameters,
without constructing it."""

from __future__ import annotations

import argparse
import inspect
import re
from typing import IO, Any

from quorvane import plugins
from quorvane.strategy import Strategy
from quorvane.strategy_classes import registered

from .options import (_DESCRIPTION, _SPEC_HELP, add_strategy_path, class_path, display_path,
                      target_from_args)

_SECTION = re.compile(r"^\s*(Args|Arguments|Parameters|Keyword Args|Keyword Arguments):\s*$")
_ENTRY = re.compile(r"^(\s*)\**(\w+)\s*(?:\([^)]*\))?\s*:\s*(.*)$")
_NUMPY_ENTRY = re.compile(r"^(\s*)(\w+)\s*(?::.*)?$")


def strategy_class(args: argparse.Namespace) -> tuple[type, str]:
    """The class the options name and where it comes from, found as ``run``
    finds it (a file runs) but not constructed."""
    spec, target, _ = target_from_args(args)
    if isinstance(target, type):
        if spec.endswith(".py"):
            return target, display_path(spec)
        return target, f"module {spec.rpartition('.')[0]}"
    cls = registered(target)
    assert cls is not None, target
    plugin = plugins.provider(target, cls)
    return cls, f"plugin of {plugin.distribution}" if plugin else "built-in"


def parameter_docs(cls: type) -> dict[str, str]:
    """Each parameter's documentation: the docstring of a property of that
    name, else its entry under ``Args:`` or ``Parameters`` in the docstring
    of ``__init__`` or of the class (Google or NumPy style)."""
    docs: dict[str, str] = {}
    for owner in cls.__mro__:
        for text in (vars(owner).get("__init__", None).__doc__ if "__init__" in vars(owner)
                     else None, vars(owner).get("__doc__")):
            if isinstance(text, str):
                for name, doc in _docstring_entries(inspect.cleandoc(text)).items():
                    docs.setdefault(name, doc)
    for name in dir(cls):
        value = inspect.getattr_static(cls, name, None)
        if isinstance(value, property) and value.__doc__:
            docs[name] = " ".join(value.__doc__.split())
    return docs


def _docstring_entries(text: str) -> dict[str, str]:
    lines = text.splitlines()
    entries: dict[str, list[str]] = {}
    index = 0
    while index < len(lines):
        line = lines[index]
        numpy = (line.strip() in ("Parameters", "Other Parameters") and index + 1 < len(lines)
                 and set(lines[index + 1].strip()) == {"-"})
        if not (_SECTION.match(line) or numpy):
            index += 1
            continue
        header_indent = len(line) - len(line.lstrip())
        index += 2 if numpy else 1
        current: list[str] | None = None
        entry_indent = None
        while index < len(lines):
            line = lines[index]
            if not line.strip():
                if numpy and index + 1 < len(lines) and not lines[index + 1].startswith(" "):
                    break
                index += 1
                continue
            indent = len(line) - len(line.lstrip())
            if indent < header_indent or (not numpy and indent == header_indent):
                break
            match = (_NUMPY_ENTRY if numpy else _ENTRY).match(line)
            if match and (entry_indent is None or indent == entry_indent):
                entry_indent = indent
                current = entries.setdefault(match.group(2), [])
                if not numpy and match.group(3):
                    current.append(match.group(3).strip())
            elif current is not None and entry_indent is not None and indent > entry_indent:
                current.append(line.strip())
            else:
                break
            index += 1
    return {name: " ".join(words) for name, words in entries.items()}


def cmd_describe(args: argparse.Namespace, out: IO[str]) -> int:
    cls, source = strategy_class(args)
    print(f"class: {class_path(cls)}", file=out)
    print(f"source: {source}", file=out)
    doc = inspect.getdoc(cls) if "__doc__" in vars(cls) and cls.__doc__ else None
    if doc:
        print("", file=out)
        for line in doc.splitlines():
            print(f"    {line}".rstrip(), file=out)
    print("", file=out)
    if issubclass(cls, Strategy):
        print("symbols: from --symbols A,B (a list of ticker symbols)", file=out)
    else:
        print("symbols: not used by this strategy", file=out)
    try:
        signature = inspect.signature(cls)
    except (TypeError, ValueError):
        print("parameters: cannot be inspected", file=out)
        return 0
    docs = parameter_docs(cls)
    shown = [p for p in signature.parameters.values() if p.name != "symbols"
             and p.kind is not p.VAR_POSITIONAL]
    if not shown:
        print("parameters: (none)", file=out)
        return 0
    print("parameters:", file=out)
    for parameter in shown:
        if parameter.kind is parameter.VAR_KEYWORD:
            print(f"  **{parameter.name}: any further --param KEY=VALUE, kept in params",
                  file=out)
            continue
        text = parameter.name
        if parameter.annotation is not parameter.empty:
            annotation = parameter.annotation
            text += f": {annotation if isinstance(annotation, str) else inspect.formatannotation(annotation)}"
        if parameter.default is parameter.empty:
            text += " (required)"
        else:
            text += f" = {parameter.default!r}"
        print(f"  {text}", file=out)
        if parameter.name in docs:
            print(f"      {docs[parameter.name]}", file=out)
    return 0


def register(commands: Any, common: argparse.ArgumentParser,
             loading: argparse.ArgumentParser) -> None:
    describe = commands.add_parser(
        "describe", parents=[common],
        help="show a strategy's description and the parameters of its constructor",
        description="Show a strategy's class, where it comes from, its description, and the "
                    "parameters its constructor takes, with their defaults and documentation. "
                    "Nothing is constructed, but a file or module is imported and its code "
                    "runs. " + _DESCRIPTION.split(". ", 1)[1])
    describe.add_argument("spec", metavar="SPEC", help=_SPEC_HELP)
    describe.add_argument("--class-name", metavar="NAME",
                          help="the class to take from a strategy file holding several")
    add_strategy_path(describe)
    describe.set_defaults(handler=cmd_describe)
