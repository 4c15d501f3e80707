"""Throw-away package trees for import-time tests.

Import-time behaviour of the compiled loader (fallback tiers, guards,
re-import) is process-wide, so each case runs in a fresh interpreter
started with ``-I -S`` over a tree holding a copy of the installed
extension and hand-written minimal framework modules.  Snippets report
back by calling ``emit(obj)``, which prints one JSON line.
"""

from __future__ import annotations

import importlib.util
import json
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

ENTRY_FILE = "quorvane/strategy_loader"
INIT_ENTRY = "init quorvane.strategy_loader"
HANDLER_ENTRY = "quorvane.strategy_loader"

FRAMEWORK_NAMES = (
    "BaseStrategy",
    "BollingerMeanReversionStrategy",
    "DualSMAMomentumStrategy",
    "MACDCrossoverStrategy",
    "RSIMomentumStrategy",
    "SMAMomentumStrategy",
    "VWAPReversionStrategy",
)


def installed_extension() -> Path:
    """Path of the compiled module of the installed package."""
    spec = importlib.util.find_spec("quorvane.strategy_loader")
    assert spec is not None and spec.origin, "quorvane.strategy_loader is not installed"
    return Path(spec.origin)


def strategies_source(marker: str, missing: tuple[str, ...] = ()) -> str:
    """A `strategies` package body: BaseStrategy from .base plus six classes."""
    lines = [f"MARKER = {marker!r}", "from .base import BaseStrategy"]
    for name in FRAMEWORK_NAMES[1:]:
        if name not in missing:
            lines.append(f"class {name}(BaseStrategy):\n    pass")
    if "BaseStrategy" in missing:
        lines.append("del BaseStrategy")
    return "\n".join(lines) + "\n"


BASE_SOURCE = """\
class BaseStrategy:
    def __init__(self, **params):
        self.params = params
"""

STRATEGY_SOURCE = """\
class Strategy:
    def __init__(self, symbols=None, **params):
        self.symbols = symbols
        self.params = params
"""

_PRELUDE = """\
import json, sys, traceback
sys.path[:0] = {paths!r}

def entries(exc):
    return [[f.filename, f.name, f.lineno] for f in traceback.extract_tb(exc.__traceback__)]

def module_entries(exc):
    return [e for e in entries(exc) if e[0] == {entry_file!r}]

def describe(exc, depth=5):
    if exc is None or depth == 0:
        return None
    return {{
        "type": type(exc).__name__,
        "message": str(exc),
        "entries": module_entries(exc),
        "notes": getattr(exc, "__notes__", None),
        "context": describe(exc.__context__, depth - 1),
    }}

def attempt(action):
    try:
        action()
    except BaseException as exc:
        return describe(exc)
    return None

def emit(obj):
    print("JSON:" + json.dumps(obj), flush=True)

"""


class Tree:
    """A package tree under `root`: `site/quorvane/...` plus optional extras."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.site = root / "site"
        self.package = self.site / "quorvane"
        self.package.mkdir(parents=True)

    @property
    def extension(self) -> Path:
        (found,) = self.package.glob("strategy_loader*.so")
        return found

    def write(self, relative: str, text: str) -> Path:
        """Writes `text` to `relative` (from `root`), making parent dirs."""
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return path

    def framework(self, where: str, marker: str | None = None, missing: tuple[str, ...] = ()) -> None:
        """Writes a trader_core package under `where` (relative to root)."""
        self.write(f"{where}/trader_core/__init__.py", "")
        self.write(f"{where}/trader_core/strategies/__init__.py", strategies_source(marker or where, missing))
        self.write(f"{where}/trader_core/strategies/base.py", BASE_SOURCE)

    def run(self, *parts: str, paths: tuple[str, ...] | None = None, flags: tuple[str, ...] = ()) -> dict:
        """Runs the code `parts` (each dedented on its own) in a fresh
        interpreter with `paths` first on sys.path, and returns what the
        code emitted."""
        if paths is None:
            paths = (str(self.site),)
        code = "\n".join(textwrap.dedent(part) for part in parts)
        script = _PRELUDE.format(paths=list(paths), entry_file=ENTRY_FILE) + code
        proc = subprocess.run(
            [sys.executable, "-I", "-S", *flags, "-c", script],
            cwd=self.root,
            capture_output=True,
            text=True,
            timeout=120,
        )
        emitted = [line[5:] for line in proc.stdout.splitlines() if line.startswith("JSON:")]
        if proc.returncode != 0 or len(emitted) != 1:
            raise AssertionError(
                f"snippet failed (rc={proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
            )
        return json.loads(emitted[0])


def build_tree(root: Path, *, package_framework: bool = True, extension: Path | None = None) -> Tree:
    """A tree whose package holds the extension, `strategy.py` and, unless
    `package_framework` is false, its own `trader_core`."""
    tree = Tree(root)
    tree.write("site/quorvane/__init__.py", "")
    tree.write("site/quorvane/strategy.py", STRATEGY_SOURCE)
    if package_framework:
        tree.framework("site/quorvane", marker="package")
    source = extension or installed_extension()
    shutil.copy2(source, tree.package / source.name)
    return tree
