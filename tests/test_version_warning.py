"""A module built for another interpreter version warns when imported, and
fails to import when that warning is an error."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

from init_support import build_tree

SOURCES = Path(__file__).resolve().parent.parent / "strategy_loader"
MESSAGE = ("compile time Python version 3.11 of module 'quorvane.strategy_loader' "
           "does not match runtime version 3.12")


@pytest.fixture(scope="module")
def mismatched_extension(tmp_path_factory):
    """The extension compiled as if for 3.11 (one unoptimised compiler run)."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available")
    sources = sorted(SOURCES.glob("*.cpp"))
    if not sources:
        pytest.skip("extension sources are not available")
    out = tmp_path_factory.mktemp("build") / "quorvane" / f"strategy_loader{sysconfig.get_config_var('EXT_SUFFIX')}"
    out.parent.mkdir()
    subprocess.run(
        [compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-fvisibility=hidden",
         "-DSTRATEGY_LOADER_TARGET_MINOR=11", f"-I{sysconfig.get_paths()['include']}",
         *map(str, sources), "-o", str(out)],
        check=True, capture_output=True, timeout=600,
    )
    return out


def test_import_warns_and_succeeds(tmp_path, mismatched_extension):
    tree = build_tree(tmp_path, extension=mismatched_extension)
    result = tree.run("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import quorvane.strategy_loader as m
        emit({
            "warnings": [[w.category.__name__, str(w.message)] for w in caught],
            "listed": m.list_strategies(),
        })
    """)
    assert result["warnings"] == [["RuntimeWarning", MESSAGE]]
    assert len(result["listed"]) == 6


def test_import_fails_when_the_warning_is_an_error(tmp_path, mismatched_extension):
    tree = build_tree(tmp_path, extension=mismatched_extension)
    result = tree.run("""
        failure = attempt(lambda: __import__("quorvane.strategy_loader"))
        leftover = "quorvane.strategy_loader" in sys.modules
        import warnings
        warnings.simplefilter("ignore")
        import quorvane.strategy_loader as m
        emit({"failure": failure, "leftover": leftover, "listed": m.list_strategies()})
    """, flags=("-W", "error::RuntimeWarning"))
    failure = result["failure"]
    assert (failure["type"], failure["message"]) == ("RuntimeWarning", MESSAGE)
    assert failure["entries"] == []
    assert not result["leftover"]
    assert len(result["listed"]) == 6  # a failed import leaves the way open for a later one
