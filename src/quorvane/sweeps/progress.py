"""The progress bar of a sweep: on standard error, one step per finished
combination, and only where a person watches (standard error is a terminal)."""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["progress_bar", "wanted"]


def wanted(setting: bool | None) -> bool:
    """``setting``, or when it is None whether standard error is a terminal."""
    if setting is not None:
        return setting
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def progress_bar(total: int, enabled: bool, label: str) -> Any:
    from tqdm import tqdm

    return tqdm(total=total, disable=not enabled, file=sys.stderr, desc=label, unit="combination",
                dynamic_ncols=True, leave=False)
