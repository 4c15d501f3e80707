"""Walk-forward runs: choose a combination on each train window, judge it on
the test window that follows, and stitch the test windows into one
out-of-sample result.

These are the parts that depend on no engine: the windows
(:mod:`.windows`), the scores and the choice of each fold (:mod:`.scores`)
and the stitched result (:mod:`.stitch`), all on arrays and a
``DatetimeIndex``, whichever process computed the runs.
"""

from .scores import SELECT, choose, fold_scores, window_scores
from .stitch import Stitched, stitch
from .windows import CalendarLength, Fold, Length, boundary_closes, make_folds, parse_length

__all__ = ["SELECT", "CalendarLength", "Fold", "Length", "Stitched", "boundary_closes", "choose",
           "fold_scores", "make_folds", "parse_length", "stitch", "window_scores"]
