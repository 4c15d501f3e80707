"""What can stop a sweep, as exception types a caller can tell apart."""

from __future__ import annotations

__all__ = ["SweepError", "WorkerCrashed", "DaskUnavailable"]


class SweepError(ValueError):
    """A sweep that cannot start: the strategy cannot be loaded, the data or
    the options are wrong.  Nothing has been computed."""


class WorkerCrashed(RuntimeError):
    """A worker ended without returning its rows: a local process (the
    strategy code crashed the interpreter or ended the process), or a Dask
    worker that left the cluster with the data it held, or that the rows
    killed time after time.  The message says which worker or which rows."""


class DaskUnavailable(RuntimeError):
    """Dask is not installed, or the cluster cannot be reached or used."""
