import pathlib

import pytest

import quorvane

_SOURCE_PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "quorvane"

if pathlib.Path(quorvane.__file__).resolve().parent == _SOURCE_PACKAGE:
    raise pytest.UsageError(
        "the source tree's quorvane/ shadows the installed package (it has no compiled extension): "
        "install with `pip install .[test]` and run `pytest` (not `python -m pytest`) from the project root"
    )
