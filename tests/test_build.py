"""What the built extension exposes to the dynamic linker."""

import shutil
import subprocess

import pytest

import quorvane.strategy_loader as strategy_loader


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_the_entry_point_is_the_only_exported_symbol():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", strategy_loader.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit_strategy_loader"]


def test_installed_metadata_has_one_version_and_its_license():
    from importlib.metadata import metadata, version

    import quorvane
    assert version("quorvane") == quorvane.__version__
    meta = metadata("quorvane")
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")
    assert any(url.startswith("Source, ") for url in meta.get_all("Project-URL"))
