"""``python -m quorvane``: the command line of :mod:`quorvane.cli`."""

import sys


def _prefer_installed_package() -> None:
    """Use the installed package when a source checkout shadows it.

    ``python -m`` puts the current directory first on ``sys.path``, so run
    from the root of a checkout it imports the source ``quorvane/``, which
    lacks the compiled ``strategy_loader``.  If an installed copy that has
    it is on the path, drop the source modules and move the shadowing
    directory behind the installed one: it stays importable for module-path
    specifications.
    """
    import importlib.machinery
    import importlib.util
    import os

    import quorvane

    if importlib.util.find_spec("quorvane.strategy_loader") is not None:
        return
    source_root = os.path.dirname(os.path.dirname(os.path.abspath(quorvane.__file__)))
    shadowing = [p for p in sys.path if os.path.abspath(p or os.curdir) == source_root]
    others = [p for p in sys.path if p not in shadowing]
    installed = importlib.machinery.PathFinder.find_spec("quorvane", others)
    if installed is None or not installed.submodule_search_locations:
        return
    locations = list(installed.submodule_search_locations)
    if importlib.machinery.PathFinder.find_spec("quorvane.strategy_loader", locations) is None:
        return
    sys.path[:] = others + shadowing
    for name in [name for name in sys.modules if name == "quorvane" or name.startswith("quorvane.")]:
        del sys.modules[name]
    importlib.invalidate_caches()


if __name__ == "__main__":
    _prefer_installed_package()
    from quorvane.cli import main

    sys.exit(main(prog="python -m quorvane"))
