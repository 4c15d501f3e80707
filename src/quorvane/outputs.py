"""The files a command writes: checked before any work, written whole or not at all.

A command first checks every output it was asked for (:func:`check_table`,
:func:`check_plot`, then :func:`check_distinct` against each other and against
the files it reads), so that no work is done for a file it could not write or
must not overwrite.  Each file is then written to a hidden temporary file in
the target's folder and renamed over the target only once complete
(:func:`write_file`): a write that fails half way (a full disk, a size limit)
or is interrupted leaves the old file as it was, and the error is one line
naming the file.  The rename protects against a failing or killed process,
not against a power cut: nothing is flushed to the disk before it.

A target that exists and is not a regular file (``/dev/null``, a named pipe)
is written directly; a symbolic link keeps pointing where it did, and the file
it points to is replaced.  ``-`` stands for standard output where a command
allows it (tables only, as CSV).
"""

from __future__ import annotations

import os
import secrets
import shutil
import stat
import sys
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

__all__ = ["STDOUT", "TABLE_FORMATS", "OutputError", "check_table", "check_plot", "plot_formats",
           "check_distinct", "data_inputs", "write_file", "write_table"]

STDOUT = "-"
TABLE_FORMATS = (".csv", ".parquet")
INSTALL_PLOT = "--plot needs matplotlib, which is not installed: pip install 'quorvane[plot]'"


class OutputError(ValueError):
    """An output that cannot, or must not, be written; the message is one line
    naming the file."""


# -- checks before any work -------------------------------------------------------------

def check_table(option: str, path: str, *, stdout: bool = False) -> None:
    """Refuse a table output the command could not write: an extension other
    than .csv or .parquet, a missing or read-only folder, a folder for a file.
    ``stdout``: ``-`` (standard output, as CSV) is allowed."""
    if path == STDOUT:
        if stdout:
            return
        raise OutputError(f"{option} -: this option writes a file; name one")
    if Path(path).suffix.lower() not in TABLE_FORMATS:
        raise OutputError(f"{option} {path}: the file name must end in .csv or .parquet")
    _check_place(option, path)


def plot_formats() -> set[str]:
    """File extensions matplotlib can write (png, svg, pdf, ...)."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise OutputError(INSTALL_PLOT) from None
    return set(FigureCanvasBase.get_supported_filetypes())


def check_plot(option: str, path: str) -> None:
    """Refuse a plot matplotlib could not draw into ``path`` (or not at all)."""
    formats = plot_formats()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        known = ", ".join(f".{name}" for name in sorted(formats))
        what = f"the extension .{suffix}" if suffix else "a file name without extension"
        raise OutputError(f"{option} {path}: matplotlib cannot write {what}; use one of {known}")
    _check_place(option, path)


def _check_place(option: str, path: str) -> None:
    target = Path(path)
    if target.is_dir():
        raise OutputError(f"{option} {path}: that is a folder; name a file")
    folder = Path(os.path.realpath(target)).parent
    if not folder.is_dir():
        raise OutputError(f"{option} {path}: the folder {target.parent} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{option} {path}: the folder {target.parent} is not writable")


def data_inputs(data: str | os.PathLike[str] | None) -> list[tuple[str, str]]:
    """``(what, path)`` for the files ``--data`` names: the file, or every data
    file of the folder (the ones ``--symbols`` leaves out included: they are
    the user's bars all the same)."""
    if data is None:
        return []
    path = Path(data)
    if not path.is_dir():
        return [(f"the --data file {data}", str(path))]
    from quorvane.data import DataError
    from quorvane.data.readers import data_files
    try:
        files = data_files(path)
    except (DataError, OSError):
        return []  # reading the data says what is wrong with it
    return [(f"a data file of the --data folder {data}", str(file)) for file in files.values()]


def check_distinct(outputs: Sequence[tuple[str, str | None]],
                   inputs: Iterable[tuple[str, str]] = ()) -> None:
    """Refuse two outputs on one file (the second would replace the first) and
    an output that is one of the files the command reads (``inputs``, as
    ``(what, path)``).  Paths are compared after resolving links, and by
    device and inode where the files exist."""
    inputs = list(inputs)
    seen: list[tuple[str, str]] = []
    for option, path in outputs:
        if path is None:
            continue
        if path != STDOUT and not _replaceable(path):
            continue  # /dev/null and the like take any number of writers
        for other_option, other in seen:
            if _same(path, other):
                where = "standard output" if path == STDOUT else "the same file"
                raise OutputError(f"{other_option} {other} and {option} {path} name {where}: "
                                  "one would overwrite the other")
        if path != STDOUT:
            for what, source in inputs:
                if _same(path, source):
                    raise OutputError(f"{option} {path} is {what}, which this command reads: "
                                      "name another file")
        seen.append((option, path))


def _replaceable(path: str) -> bool:
    """Whether ``path`` is (or will be) a regular file, which a write replaces."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # not there yet


def _same(first: str, second: str) -> bool:
    if first == STDOUT or second == STDOUT:
        return first == second
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)  # hard links, other mounts
    except OSError:
        return False


# -- writing -------------------------------------------------------------------------------

def write_file(path: str, write: Callable[[str], None]) -> None:
    """Call ``write(temporary_path)`` and rename the result over ``path``.

    The temporary file is hidden, in the target's own folder (a rename within
    one file system is atomic) and ends with the target's extension, so that
    writers which read the format from the name write the right one.  On any
    failure it is removed and the target is left as it was; an exception
    becomes an :class:`OutputError` naming ``path``.
    """
    if not _replaceable(path):
        _guarded(path, lambda: write(path))
        return
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    stem, suffix = os.path.splitext(name)
    temporary = _create(folder, stem, suffix, path)
    try:
        _guarded(path, lambda: write(temporary))
        if os.path.exists(target):
            shutil.copymode(target, temporary)  # a rewritten file keeps its permissions
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _create(folder: str, stem: str, suffix: str, path: str) -> str:
    """A new empty file beside the target, with the permissions the umask gives."""
    while True:
        temporary = os.path.join(folder, f".{stem}.{secrets.token_hex(4)}.partial{suffix}")
        try:
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return temporary
        except FileExistsError:
            continue
        except OSError as exc:
            raise OutputError(f"cannot write {path}: {exc.strerror or exc}") from None


def _guarded(path: str, write: Callable[[], None]) -> None:
    try:
        write()
    except OutputError:
        raise
    except Exception as exc:
        raise OutputError(f"cannot write {path}: {_reason(exc)}") from exc


def _reason(exc: Exception) -> str:
    """What went wrong, in the system's words: "File too large", "No space left
    on device", whether the writer was Python, pandas or pyarrow."""
    if isinstance(exc, OSError) and exc.errno:
        # pyarrow's own text is "Error writing bytes to file. Detail: [errno 27] ...".
        return os.strerror(exc.errno)
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def write_table(frame: pandas.DataFrame, path: str, *, index: bool = False) -> None:
    """``frame`` into ``path``: Parquet for a ``.parquet`` name, CSV otherwise,
    and CSV on standard output for ``-``.  ``index``: write the index too (as
    the first column, under its name)."""
    if path == STDOUT:
        frame.to_csv(sys.stdout, index=index)
        return
    if path.lower().endswith(".parquet"):
        ready = _parquet_ready(frame)
        write_file(path, lambda temporary: ready.to_parquet(temporary, index=index))
    else:
        write_file(path, lambda temporary: frame.to_csv(temporary, index=index))


def _parquet_ready(frame: pandas.DataFrame) -> pandas.DataFrame:
    """Parquet columns hold one type: a column of several kinds of values (a
    parameter given as a list, or as numbers and texts mixed) is written as
    their text."""
    mixed = []
    for name in frame.columns:
        if frame[name].dtype == object:
            kinds = {type(value) for value in frame[name] if value is not None}
            if len(kinds) > 1 or not kinds <= {str, int, float, bool}:
                mixed.append(name)
    if not mixed:
        return frame
    frame = frame.copy()
    for name in mixed:
        frame[name] = frame[name].map(lambda v: None if v is None else repr(v))
    return frame
