"""Walk-forward runs: choose a combination on each train window, judge it on
the test window that follows, and stitch the test windows into one
out-of-sample result.

The parts that depend on no engine: the windows (:mod:`.windows`), the
scores and the choice of each fold (:mod:`.scores`) and the stitched result
(:mod:`.stitch`), all on arrays and a ``DatetimeIndex``, whichever process
computed the runs.  :func:`walk_forward` (:mod:`.engine`) runs them on the
sweep's engines and returns a :class:`WalkForward` (:mod:`.result`); it and
its result load pandas and the sweep only when first used.
"""

from typing import Any

from .scores import SELECT, choose, fold_scores, window_scores
from .stitch import Stitched, stitch
from .windows import CalendarLength, Fold, Length, boundary_closes, make_folds, parse_length

__all__ = ["SELECT", "CalendarLength", "Fold", "Length", "Stitched", "WalkForward",
           "boundary_closes", "choose", "fold_scores", "make_folds", "parse_length", "stitch",
           "walk_forward", "window_scores"]


def __getattr__(name: str) -> Any:
    if name == "walk_forward":
        from .engine import walk_forward
        return walk_forward
    if name == "WalkForward":
        from .result import WalkForward
        return WalkForward
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
