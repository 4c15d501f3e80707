"""Write the intersphinx inventories the documentation links through, for
building it without a network (CI, a laptop on a train).

Each inventory lists the Python, numpy, pandas and matplotlib objects our pages and
docstrings name, with their addresses in the projects' own documentation,
in the format Sphinx reads (``objects.inv`` version 2).  A name that
``sphinx-build -n`` reports as not found belongs in the lists below; run
this script again afterwards::

    python docs/_inventories/make.py

Where the network is at hand, ``--download`` fetches the projects' complete
inventories instead; ``conf.py`` reads whichever files are here.
"""

from __future__ import annotations

import sys
import urllib.request
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent

PROJECTS = {
    "python": ("Python", "3", "https://docs.python.org/3/"),
    "numpy": ("NumPy", "stable", "https://numpy.org/doc/stable/"),
    "pandas": ("pandas", "stable", "https://pandas.pydata.org/docs/"),
    "matplotlib": ("Matplotlib", "stable", "https://matplotlib.org/stable/"),
}

_PY_TYPES = "library/stdtypes.html"
_PY_FUNCTIONS = "library/functions.html"
_PY_EXCEPTIONS = "library/exceptions.html"

# (name, role, address relative to the project's root; "$" is the name).
PYTHON = [
    *((name, "py:class", f"{_PY_FUNCTIONS}#$") for name in
      ("int", "float", "bool", "object", "type", "range")),
    *((name, "py:class", f"{_PY_TYPES}#$") for name in
      ("str", "bytes", "list", "dict", "tuple", "set", "frozenset")),
    ("None", "py:data", "library/constants.html#$"),
    *((name, "py:exception", f"{_PY_EXCEPTIONS}#$") for name in
      ("BaseException", "Exception", "ValueError", "TypeError", "OSError", "KeyError",
       "FileNotFoundError", "KeyboardInterrupt", "SystemExit", "RuntimeError",
       "ImportError", "ModuleNotFoundError", "NotImplementedError")),
    *((f"collections.abc.{name}", "py:class", "library/collections.abc.html#$") for name in
      ("Callable", "Iterable", "Iterator", "Mapping", "MutableMapping", "Sequence",
       "Collection")),
    ("collections.abc", "py:module", "library/collections.abc.html#module-$"),
    ("os.PathLike", "py:class", "library/os.html#$"),
    ("os.fspath", "py:function", "library/os.html#$"),
    ("pathlib.Path", "py:class", "library/pathlib.html#$"),
    ("multiprocessing", "py:module", "library/multiprocessing.html#module-$"),
    ("concurrent.futures", "py:module", "library/concurrent.futures.html#module-$"),
    ("typing.Any", "py:data", "library/typing.html#$"),
    ("typing.IO", "py:class", "library/typing.html#$"),
    ("typing.TYPE_CHECKING", "py:data", "library/typing.html#$"),
    ("datetime.date", "py:class", "library/datetime.html#$"),
    ("datetime.datetime", "py:class", "library/datetime.html#$"),
    ("json", "py:module", "library/json.html#module-$"),
    ("importlib.metadata", "py:module", "library/importlib.metadata.html#module-$"),
    ("sys.path", "py:data", "library/sys.html#$"),
    ("warnings.warn", "py:function", "library/warnings.html#$"),
    ("UserWarning", "py:exception", f"{_PY_EXCEPTIONS}#$"),
]

NUMPY = [
    ("numpy.ndarray", "py:class", "reference/generated/$.html#$"),
    ("numpy.dtype", "py:class", "reference/generated/$.html#$"),
    ("numpy.float64", "py:class", "reference/arrays.scalars.html#$"),
    ("numpy.nan", "py:data", "reference/constants.html#$"),
    ("numpy.random.Generator", "py:class", "reference/random/generator.html#$"),
]

_PD_API = "reference/api/$.html#$"
PANDAS = [
    *((f"pandas.{name}", "py:class", _PD_API) for name in
      ("DataFrame", "Series", "Index", "DatetimeIndex", "Timestamp", "Timedelta",
       "DateOffset", "MultiIndex")),
    *((f"pandas.{name}", "py:function", _PD_API) for name in
      ("read_csv", "read_parquet", "to_datetime", "concat")),
    *((f"pandas.DataFrame.{name}", "py:method", _PD_API) for name in
      ("to_csv", "to_parquet", "plot", "to_html", "copy")),
    ("pandas.DataFrame.attrs", "py:attribute", _PD_API),
    ("pandas.Series.rolling", "py:method", _PD_API),
]

_MPL_FIGURE = "api/_as_gen/matplotlib.figure.Figure.html#$"
MATPLOTLIB = [
    ("matplotlib.figure.Figure", "py:class", _MPL_FIGURE),
    ("matplotlib.figure.Figure.savefig", "py:method", _MPL_FIGURE),
]


def inventory(project: str, version: str, entries: list[tuple[str, str, str]]) -> bytes:
    header = (f"# Sphinx inventory version 2\n# Project: {project}\n# Version: {version}\n"
              "# The remainder of this file is compressed using zlib.\n")
    lines = "".join(f"{name} {role} 1 {address} -\n" for name, role, address in entries)
    return header.encode() + zlib.compress(lines.encode())


def main(argv: list[str]) -> None:
    for key, entries in (("python", PYTHON), ("numpy", NUMPY), ("pandas", PANDAS),
                         ("matplotlib", MATPLOTLIB)):
        name, version, root = PROJECTS[key]
        target = HERE / f"{key}.inv"
        if "--download" in argv:
            with urllib.request.urlopen(root + "objects.inv", timeout=30) as response:
                data = response.read()
        else:
            data = inventory(name, version, entries)
        temporary = target.with_suffix(".inv.tmp")
        temporary.write_bytes(data)
        temporary.replace(target)
        print(f"{target.relative_to(HERE.parent.parent)}: {len(data):,} bytes")


if __name__ == "__main__":
    main(sys.argv[1:])
