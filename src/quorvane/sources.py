"""Where strategies come from besides the registry: strategy folders, and the
checks that turn a strategy specification into what ``load_strategy`` needs.

A *strategy folder* is a directory of ``.py`` files, named with the command
line's ``--strategy-path DIR`` or the environment variable
``QUORVANE_STRATEGY_PATH`` (a path list, like ``PYTHONPATH``).  Its
strategies are found by reading each file's syntax tree: listing a folder
never executes its code.  A strategy there is asked for by its class name, or
by its file's stem (the file name without ``.py``), and is loaded through the
file loader.

:func:`resolve` is the one step every caller shares (``quorvane run``,
``load``, ``describe`` and sweeps): it turns a specification into the
arguments for ``load_strategy`` and refuses, with a message that says what to
do, the specifications that would otherwise fail in a misleading way (a
missing ``.py`` file, a module path naming something that is not a strategy
class, a mistyped name).  :func:`load_target` then finds the class, the one
path of ``run``, ``describe`` and a sweep's rows.

Importing this module imports neither the compiled loader nor pandas.
"""

from __future__ import annotations

import ast
import difflib
import importlib
import importlib.util
import os
import sys
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

from quorvane.strategy_classes import (base_class_names, is_strategy_class, module_classes,
                                       not_a_strategy_class, registered, registry)

__all__ = [
    "ENV_VAR",
    "FolderStrategy",
    "StrategySourceError",
    "StrategyFileNotFoundError",
    "StrategyNotFoundError",
    "NotAStrategyClassError",
    "SeveralStrategyClassesError",
    "strategy_folders",
    "scan_folders",
    "scan_file",
    "find_in_folders",
    "resolve",
    "load_target",
    "close_matches",
]

ENV_VAR = "QUORVANE_STRATEGY_PATH"

# The one module name every strategy file runs under, as the file loader runs it.
FILE_MODULE = "strategy_module"


# -- errors --------------------------------------------------------------------

class StrategySourceError(ValueError):
    """A strategy specification that cannot be loaded; the message says why
    and what to do."""


class StrategyFileNotFoundError(StrategySourceError, FileNotFoundError):
    """A specification ending in ``.py`` that names no existing file."""


class StrategyNotFoundError(StrategySourceError, LookupError):
    """A name that is neither registered nor found in a strategy folder."""


class NotAStrategyClassError(StrategySourceError, TypeError):
    """A module path, or the class name of a strategy file, naming a module,
    a function, or a class that derives from neither ``Strategy`` nor
    ``BaseStrategy``."""


class SeveralStrategyClassesError(StrategySourceError):
    """A strategy file exposing several strategy classes, with no class name
    to choose one: ``path`` and ``names`` say which."""

    path: str
    names: list[str]


# -- strategy folders ----------------------------------------------------------

@dataclass(frozen=True)
class FolderStrategy:
    """A strategy class found in a strategy folder by reading its source.

    ``name`` is what a user types: the file's stem when the file defines one
    strategy class, else the class name.  ``error`` is set (and
    ``class_name`` empty) for a file that cannot be read or parsed.
    """

    name: str
    class_name: str
    path: Path
    line: int
    doc: str = ""
    error: str = ""


def strategy_folders(extra: Iterable[str | os.PathLike[str]] = (),
                     environ: Mapping[str, str] | None = None) -> list[Path]:
    """The strategy folders, in the order they are searched.

    Args:
        extra: Folders searched first (the ``--strategy-path`` options); each
            must exist.
        environ: Where ``QUORVANE_STRATEGY_PATH`` is read (default:
            ``os.environ``); a missing folder of it is skipped, as the
            interpreter skips missing ``PYTHONPATH`` entries.

    Returns:
        The folders, resolved, duplicates and empty entries dropped.

    Raises:
        StrategySourceError: A folder of ``extra`` is missing or a file.
    """
    if environ is None:
        environ = os.environ
    folders: list[Path] = []
    for entry in extra:
        folder = Path(entry)
        if not folder.is_dir():
            what = "is not a folder" if folder.exists() else "not found"
            raise StrategySourceError(f"strategy folder {what}: {entry}")
        folders.append(folder)
    for entry in environ.get(ENV_VAR, "").split(os.pathsep):
        if entry and Path(entry).is_dir():
            folders.append(Path(entry))
    unique: dict[Path, None] = {}
    for folder in folders:
        unique.setdefault(folder.resolve(), None)
    return list(unique)


def scan_file(path: Path) -> list[FolderStrategy]:
    """The strategy classes a file defines at its top level, found by parsing
    it (nothing in it runs).

    Args:
        path: A ``.py`` file.

    Returns:
        An entry per class; a file that cannot be parsed gives one entry with
        ``error`` set.
    """
    try:
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except (SyntaxError, ValueError, OSError) as exc:
        where = f" (line {exc.lineno})" if isinstance(exc, SyntaxError) and exc.lineno else ""
        reason = getattr(exc, "msg", None) or getattr(exc, "strerror", None) or str(exc)
        return [FolderStrategy(path.stem, "", path, 0,
                               error=f"{type(exc).__name__}: {reason}{where}")]
    bases = set(base_class_names())
    for node in tree.body:
        # Names imported from the package count as strategy bases when they
        # are classes of the package's naming style.
        if isinstance(node, ast.ImportFrom) and (node.module or "").split(".")[0] == "quorvane":
            bases.update(alias.asname or alias.name for alias in node.names
                         if alias.name.endswith("Strategy"))
    found: list[tuple[str, int, str]] = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(_base_name(base) in bases for base in node.bases):
            bases.add(node.name)
            doc = (ast.get_docstring(node) or "").strip().splitlines()
            found.append((node.name, node.lineno, doc[0].strip() if doc else ""))
    single = len(found) == 1
    return [FolderStrategy(path.stem if single else name, name, path, line, doc)
            for name, line, doc in found]


def _base_name(node: ast.expr) -> str:
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return node.attr
    return ""


def scan_folders(folders: Iterable[Path]) -> list[FolderStrategy]:
    """Every strategy class in the folders' ``.py`` files.

    Args:
        folders: The folders, as :func:`strategy_folders` gives them.

    Returns:
        The entries of :func:`scan_file`, folder by folder, files in name
        order.
    """
    return [entry for path in _files(folders) for entry in scan_file(path)]


def _files(folders: Iterable[Path]) -> list[Path]:
    return [path for folder in folders for path in sorted(folder.glob("*.py")) if path.is_file()]


def find_in_folders(name: str, folders: Iterable[Path]) -> tuple[Path, str | None] | None:
    """The file, and the class to take from it, that ``name`` asks for: a
    class of that name, else a file of that stem (letter case ignored; the
    first folder wins).

    Args:
        name: A class name or a file stem.
        folders: The folders to search, in order.

    Returns:
        ``(file, class_name)``, the class named for a file with one strategy
        class; for a file with several, None lets the file loader report
        them.  None when nothing matches.
    """
    key = name.casefold()
    files = [(path, [entry for entry in scan_file(path) if not entry.error])
             for path in _files(folders)]
    for path, classes in files:
        for entry in classes:
            if entry.class_name.casefold() == key:
                return path, entry.class_name
    for path, classes in files:
        if path.stem.casefold() == key:
            return path, classes[0].class_name if len(classes) == 1 else None
    return None


# -- resolving a specification ------------------------------------------------

def resolve(spec: str, strategy_paths: Sequence[str | os.PathLike[str]] = ()
            ) -> tuple[str, dict[str, object]]:
    """Turn a strategy specification into ``(spec, keywords)`` for
    ``load_strategy(spec, symbols, **keywords, **params)``.

    - A registered name (built-in or plugin) comes back unchanged.
    - A specification ending in ``.py`` must name an existing file; it comes
      back as an absolute path (:class:`StrategyFileNotFoundError` otherwise).
    - A name without a dot found in a strategy folder (``strategy_paths``,
      then ``QUORVANE_STRATEGY_PATH``) comes back as its file's absolute path,
      with ``class_name`` among the keywords when the class is known.
    - Any other name without a dot raises :class:`StrategyNotFoundError`,
      with the names that are close to it.
    - A module path ``package.module.Class`` is imported (the loader would
      import it anyway) and must name a strategy class: a module, a function
      or another class raises :class:`NotAStrategyClassError` before
      anything is constructed.

    The registry is read from ``quorvane.strategy_loader``; call
    :func:`quorvane.plugins.register_entry_points` first for plugin names.

    Args:
        spec: The strategy argument, as the ``quorvane`` command takes it.
        strategy_paths: Strategy folders searched before those of
            ``QUORVANE_STRATEGY_PATH``.

    Returns:
        ``(spec, keywords)``, as above.
    """
    if registered(spec) is not None:
        return spec, {}
    if spec.endswith(".py"):
        path = Path(spec)
        if path.is_file():
            return str(path.resolve()), {}
        if path.is_dir():
            raise StrategyFileNotFoundError(f"strategy file not found: {spec} is a folder, not a file")
        hint = _did_you_mean(path.stem, known_names(strategy_paths)) if "/" not in spec else ""
        raise StrategyFileNotFoundError(f"strategy file not found: {spec}{hint}")
    if "." not in spec:
        folders = strategy_folders(strategy_paths)
        found = find_in_folders(spec, folders)
        if found is not None:
            path, class_name = found
            return str(path.resolve()), ({"class_name": class_name} if class_name else {})
        raise StrategyNotFoundError(_not_found(spec, folders))
    _module_path_class(spec)
    return spec, {}


def known_names(strategy_paths: Sequence[str | os.PathLike[str]] = ()) -> list[str]:
    """Every name a specification may use: the registry's, then those of the
    strategy folders (names and class names)."""
    try:
        folders = strategy_folders(strategy_paths)
    except StrategySourceError:
        folders = []
    return _names([entry for entry in scan_folders(folders) if not entry.error])


def _names(in_folders: list[FolderStrategy]) -> list[str]:
    names = list(registry()) + [n for e in in_folders for n in (e.name, e.class_name)]
    return list(dict.fromkeys(names))


def close_matches(word: str, candidates: Iterable[str]) -> list[str]:
    """The candidates close to ``word``, letter case ignored.

    Args:
        word: What was asked for.
        candidates: The names that exist.

    Returns:
        Up to three of them, best first; only the clear winners.
    """
    word = word.casefold()
    scores: dict[str, tuple[float, str]] = {}
    for candidate in candidates:
        key = candidate.casefold()
        score = difflib.SequenceMatcher(None, word, key).ratio()
        if len(word) >= 3 and key.startswith(word):
            score = max(score, 0.8)  # the start of a name: "macd" for "macd_crossover"
        scores.setdefault(key, (score, candidate))
    if not scores:
        return []
    best = max(score for score, _ in scores.values())
    # Only the clear winners: "sma_momentm" suggests sma_momentum, not every *_momentum.
    kept = sorted((item for item in scores.values() if item[0] >= max(0.6, best - 0.1)),
                  key=lambda item: -item[0])
    return [candidate for _, candidate in kept[:3]]


def _did_you_mean(word: str, candidates: Iterable[str]) -> str:
    matches = close_matches(word, candidates)
    if not matches:
        return ""
    quoted = [repr(match) for match in matches]
    choice = quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]
    return f"; did you mean {choice}?"


def _not_found(spec: str, folders: list[Path]) -> str:
    # The loader's own not-found text, so that scripts matching it keep working.
    message = f"Strategy '{spec}' not found. Available built-in strategies: {list(registry())}"
    in_folders = [entry for entry in scan_folders(folders) if not entry.error]
    if in_folders:
        message += f"; in strategy folders: {[entry.name for entry in in_folders]}"
    return message + _did_you_mean(spec, _names(in_folders))


# -- the class a strategy argument names -------------------------------------------

def load_target(spec: str | type, keywords: Mapping[str, object]
                ) -> tuple[str | type, dict[str, object]]:
    """What ``load_strategy`` is given for a strategy argument as :func:`resolve`
    returns it with ``keywords``, and the keywords that go with it: a
    registered name stays a name; anything else becomes its class, found as
    the loader finds it but not constructed.  A strategy file runs as the
    file loader runs it (as the module ``strategy_module``, entered in
    ``sys.modules`` first); its class is the one ``class_name`` (spent here)
    names, else its one strategy class.  Anything but one strategy class is
    refused before anything is constructed.

    Args:
        spec: A strategy argument as :func:`resolve` returns it, or a class.
        keywords: The keywords :func:`resolve` returned with it.

    Returns:
        ``(name or class, keywords)``, ``class_name`` spent.

    Raises:
        StrategySourceError: The file or module holds no strategy class, or
            several and ``class_name`` chooses none.
    """
    rest = dict(keywords)
    if isinstance(spec, type) or registered(spec) is not None:
        return spec, rest
    if spec.endswith(".py"):
        return _file_class(spec, rest.pop("class_name", None)), rest
    return _module_path_class(spec), rest


def _file_class(path: str, class_name: object) -> type:
    # The file loader's steps, so that a file runs the same way whoever asks.
    spec = importlib.util.spec_from_file_location(FILE_MODULE, path)
    if spec is None or spec.loader is None:
        raise StrategySourceError(f"Could not load strategy from {path}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[FILE_MODULE] = module
    spec.loader.exec_module(module)
    names = module_classes(module)
    if isinstance(class_name, str) and class_name:
        if not hasattr(module, class_name):
            raise StrategySourceError(f"Class '{class_name}' not found in {path}")
        found = getattr(module, class_name)
        if isinstance(found, type) and is_strategy_class(found):
            return found
        what = (f"{found.__module__}.{found.__qualname__}" if isinstance(found, type)
                else f"{class_name} in {path}")
        choices = f"; its strategy classes: {', '.join(names)}" if names else ""
        raise NotAStrategyClassError(not_a_strategy_class(what, found) + choices)
    if not names:
        raise StrategySourceError(f"No strategy class found in {path}. Define a class that "
                                  "inherits from Strategy or BaseStrategy.")
    if len(names) > 1:
        error = SeveralStrategyClassesError(
            f"{path} holds several strategy classes: {', '.join(names)}; choose one by its "
            "class name (class_name)")
        error.path, error.names = path, names
        raise error
    chosen: type = getattr(module, names[0])
    return chosen


def _module_path_class(spec: str) -> type:
    module_name, _, attribute = spec.rpartition(".")
    if not module_name or not attribute or module_name.startswith("."):
        raise StrategySourceError(f"{spec} is no module path: name the class after the "
                                  "module, as package.module.ClassName")
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        # Only the module of the path itself; a module missing inside the
        # user's code is that code's error and keeps its traceback.
        if exc.name is None or not (module_name + ".").startswith(exc.name + "."):
            raise
        raise StrategySourceError(
            f"no module named '{exc.name}' for the module path {spec}: install it, or run "
            f"from the folder that holds it (a strategy file needs its .py ending)") from None
    if not hasattr(module, attribute):
        if hasattr(module, "__path__") and importlib.util.find_spec(spec) is not None:
            raise NotAStrategyClassError(
                f"{spec} is a module, not a strategy class; name the class: {spec}.ClassName")
        classes = [name for name, value in vars(module).items() if is_strategy_class(value)]
        hint = _did_you_mean(attribute, classes)
        raise StrategySourceError(f"module {module_name} has no attribute '{attribute}'{hint}")
    obj = getattr(module, attribute)
    if not (isinstance(obj, type) and is_strategy_class(obj)):
        raise NotAStrategyClassError(not_a_strategy_class(spec, obj))
    return obj
