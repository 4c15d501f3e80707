"""What can stop a sweep, as exception types a caller can tell apart."""

from __future__ import annotations

__all__ = ["SweepError", "WorkerCrashed", "DaskUnavailable"]


class SweepError(ValueError):
    """A sweep that cannot start: the strategy cannot be loaded, the data or
    the options are wrong.  Nothing has been computed."""


class WorkerCrashed(RuntimeError):
    """A worker process ended without returning its row (the strategy code
    crashed the interpreter or ended the process)."""


class DaskUnavailable(RuntimeError):
    """Dask is not installed, or the cluster cannot be reached or used."""
