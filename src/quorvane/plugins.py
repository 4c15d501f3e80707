"""Strategies from installed packages: the entry-point group
``quorvane.strategies``.

A distribution advertises a strategy in its ``pyproject.toml``::

    [project.entry-points."quorvane.strategies"]
    breakout = "my_package.strategies:BreakoutStrategy"

:func:`register_entry_points` loads every such entry point and registers its
class with ``quorvane.strategy_loader.register_strategy`` under the entry
point's name, so that ``load_strategy("breakout")`` finds it.  The ``quorvane``
command calls it at start; importing ``quorvane.strategy_loader`` does not,
so a program that wants plugin strategies calls it once itself.

Rules, in this order:

- a name already in the registry (the six built-in strategies, or a class
  registered before the call) is kept, and the plugin is skipped;
- between plugins of the same name, the distribution first in alphabetical
  order (of its normalised name) wins, and the others are skipped;
- a plugin that fails to import, names a missing attribute, or names
  something that is not a strategy class is reported as failed and never
  stops the others.
"""

from __future__ import annotations

import importlib.metadata
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal

__all__ = ["GROUP", "PluginReport", "register_entry_points", "reports", "provider"]

GROUP = "quorvane.strategies"

Status = Literal["loaded", "failed", "skipped"]


@dataclass(frozen=True)
class PluginReport:
    """What became of one entry point.

    ``name`` is the registry key (the entry point's name in lower case),
    ``value`` the entry point's ``module:attribute``, ``distribution`` and
    ``version`` those of the distribution that advertises it.  ``status`` is
    ``"loaded"``, ``"failed"`` (``reason`` says why) or ``"skipped"``
    (``reason`` names who holds the name).  ``strategy_class`` is the class
    for a loaded plugin, else None.
    """

    name: str
    value: str
    distribution: str
    version: str
    status: Status
    reason: str = ""
    strategy_class: type | None = None


_reports: list[PluginReport] | None = None


def register_entry_points() -> list[PluginReport]:
    """Load the ``quorvane.strategies`` entry points of the installed
    distributions and register their classes.

    The work is done once per process: a second call returns the first
    call's reports.

    Returns:
        A :class:`PluginReport` per entry point, in the order they were
        considered.
    """
    global _reports
    if _reports is None:
        _reports = _register(importlib.metadata.entry_points(group=GROUP))
    return list(_reports)


def reports() -> list[PluginReport]:
    """The reports of :func:`register_entry_points`.

    Returns:
        A new list of them, empty before it ran.
    """
    return list(_reports or [])


def provider(name: str, cls: type) -> PluginReport | None:
    """The plugin that registered ``cls`` under ``name``.

    Args:
        name: A registry name (letter case ignored).
        cls: The class the registry holds under it.

    Returns:
        The plugin's report, or None when the registry holds the class for
        another reason (built in, or registered by the program).
    """
    return next((report for report in reports() if report.status == "loaded"
                 and report.name == name.lower() and report.strategy_class is cls), None)


def _normalised(name: str) -> str:
    # The packaging rule for comparing distribution names.
    return re.sub(r"[-_.]+", "-", name).lower()


def _register(entry_points: Iterable[importlib.metadata.EntryPoint]) -> list[PluginReport]:
    import quorvane.strategy_loader as loader
    from quorvane.messages import one_line
    from quorvane.strategy_classes import is_strategy_class, not_a_strategy_class, registered

    def origin(entry: importlib.metadata.EntryPoint) -> tuple[str, str]:
        dist = entry.dist
        if dist is None:
            return "(unknown distribution)", ""
        return dist.name or "(unnamed distribution)", dist.version or ""

    ordered = sorted(entry_points, key=lambda e: (_normalised(origin(e)[0]), e.name.lower()))
    taken_by: dict[str, str] = {}  # name -> distribution of the plugin that holds it
    results: list[PluginReport] = []
    for entry in ordered:
        dist_name, version = origin(entry)
        name = entry.name.lower()

        def report(status: Status, reason: str = "", cls: type | None = None) -> None:
            results.append(PluginReport(name, entry.value, dist_name, version, status, reason, cls))

        if name in taken_by:
            report("skipped", f"the name is taken by the plugin of {taken_by[name]}")
            continue
        if registered(name) is not None:
            report("skipped", "the name is taken by a built-in strategy")
            continue
        try:
            obj = entry.load()
        except (Exception, SystemExit) as exc:
            # A broken plugin must not take the command, or the others, down with it.
            report("failed", one_line(exc))
            continue
        if not is_strategy_class(obj):
            report("failed", not_a_strategy_class(entry.value, obj))
            continue
        try:
            loader.register_strategy(name, obj)
        except (TypeError, ValueError) as exc:
            report("failed", f"{entry.value}: {one_line(exc)}")
            continue
        taken_by[name] = dist_name
        report("loaded", cls=obj)
    return results
