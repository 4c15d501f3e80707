"""Strategies from installed packages: two throw-away plugin distributions,
built as wheels and installed with pip into a folder that the command's
environment puts on PYTHONPATH."""

import base64
import hashlib
import json
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

BUILTIN_NAMES = ["sma_momentum", "dual_sma_momentum", "rsi_momentum", "macd_crossover",
                 "bollinger_mean_reversion", "vwap_reversion"]

GOOD = textwrap.dedent('''\
    from quorvane.strategy import Strategy

    class AlwaysLong(Strategy):
        """Long on every bar."""
        def generate_signals(self, bars):
            return [1] * len(bars)
    ''')

# demo-strategies: a good plugin, one whose module fails to import, one that
# names a missing class, one that is no class, and one that takes a built-in name.
DEMO = {
    "demo_plugin/__init__.py": GOOD,
    "demo_plugin/broken.py": "raise ImportError('the broken plugin needs a missing library')\n",
    "demo_plugin/helpers.py": "def helper():\n    pass\n",
}
DEMO_ENTRY_POINTS = {
    "always_long": "demo_plugin:AlwaysLong",
    "broken": "demo_plugin.broken:Anything",
    "no_class": "demo_plugin:NoSuchClass",
    "not_a_class": "demo_plugin.helpers:helper",
    "sma_momentum": "demo_plugin:AlwaysLong",
}
# zz-rival comes after demo-strategies alphabetically, so its always_long loses.
RIVAL = {"zz_rival/__init__.py": GOOD.replace("AlwaysLong", "RivalLong")}
RIVAL_ENTRY_POINTS = {"Always_Long": "zz_rival:RivalLong", "rival": "zz_rival:RivalLong"}


def build_wheel(folder, name, version, files, entry_points):
    """A pure-Python wheel: the files, METADATA, WHEEL, entry_points.txt, RECORD."""
    dist_info = f"{name.replace('-', '_')}-{version}.dist-info"
    contents = dict(files)
    contents[f"{dist_info}/METADATA"] = (f"Metadata-Version: 2.1\nName: {name}\n"
                                         f"Version: {version}\n")
    contents[f"{dist_info}/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: test\n"
                                      "Root-Is-Purelib: true\nTag: py3-none-any\n")
    contents[f"{dist_info}/entry_points.txt"] = "[quorvane.strategies]\n" + "".join(
        f"{key} = {value}\n" for key, value in entry_points.items())
    record = []
    for path, text in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
        record.append(f"{path},sha256={digest.decode()},{len(text.encode())}")
    record.append(f"{dist_info}/RECORD,,")
    contents[f"{dist_info}/RECORD"] = "\n".join(record) + "\n"
    wheel = folder / f"{name.replace('-', '_')}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, text in contents.items():
            archive.writestr(path, text)
    return wheel


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A folder holding both plugin distributions, installed by pip."""
    root = tmp_path_factory.mktemp("plugins")
    wheels = [build_wheel(root, "demo-strategies", "1.0", DEMO, DEMO_ENTRY_POINTS),
              build_wheel(root, "zz-rival", "2.0", RIVAL, RIVAL_ENTRY_POINTS)]
    target = root / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index",
                    "--disable-pip-version-check", "--target", str(target), *map(str, wheels)],
                   check=True, capture_output=True, timeout=120)
    return target


def quorvane(*args, cwd, site=None):
    """The console script, as a user runs it."""
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = str(site)
    script = Path(sys.executable).with_name("quorvane")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "quorvane"]
    return subprocess.run([*command, *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=120)


def test_list_shows_each_plugin_with_its_distribution_and_status(site, tmp_path):
    result = quorvane("list", "--json", cwd=tmp_path, site=site)
    assert result.returncode == 0 and result.stderr == ""
    rows = {(row["name"], row["source"]): row for row in json.loads(result.stdout)}
    assert [name for name, source in rows if source == "built-in"] == BUILTIN_NAMES
    assert rows["always_long", "demo-strategies"] | {"description": None} == {
        "name": "always_long", "class": "AlwaysLong", "kind": "plugin",
        "source": "demo-strategies", "status": "ok", "reason": None, "description": None}
    assert rows["rival", "zz-rival"]["status"] == "ok"
    failed = {name: row["reason"] for (name, _), row in rows.items() if row["status"] == "failed"}
    assert failed.keys() == {"broken", "no_class", "not_a_class"}
    assert "ImportError: the broken plugin needs a missing library" in failed["broken"]
    assert "NoSuchClass" in failed["no_class"]
    assert "not a strategy class" in failed["not_a_class"]
    skipped = {(name, source): row["reason"] for (name, source), row in rows.items()
               if row["status"] == "skipped"}
    # A built-in name wins over a plugin; between plugins, the first distribution in
    # alphabetical order wins.
    assert skipped == {
        ("sma_momentum", "demo-strategies"): "the name is taken by a built-in strategy",
        ("always_long", "zz-rival"): "the name is taken by the plugin of demo-strategies",
    }
    table = quorvane("list", cwd=tmp_path, site=site)
    assert table.returncode == 0
    assert any(line.split()[:4] == ["always_long", "AlwaysLong", "demo-strategies", "ok"]
               for line in table.stdout.splitlines())


@pytest.mark.parametrize("command", ["run", "load"])
def test_a_plugin_name_runs_and_loads(site, tmp_path, command):
    result = quorvane(command, "ALWAYS_LONG", cwd=tmp_path, site=site)
    assert result.returncode == 0, result.stderr
    assert "AlwaysLong" in result.stdout


def test_describe_says_what_load_passes_a_plugin_class(site, tmp_path):
    described = quorvane("describe", "always_long", cwd=tmp_path, site=site)
    loaded = quorvane("load", "always_long", "--symbols", "OGDC", cwd=tmp_path, site=site)
    assert described.returncode == loaded.returncode == 0, described.stderr + loaded.stderr
    assert "source: plugin of demo-strategies" in described.stdout
    assert "symbols: from --symbols A,B" in described.stdout
    assert "symbols: OGDC" in loaded.stdout


def test_a_broken_plugin_name_says_why_it_did_not_load(site, tmp_path):
    result = quorvane("run", "broken", cwd=tmp_path, site=site)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == (
        "quorvane: error: the plugin strategy 'broken' of demo-strategies could not be loaded: "
        "ImportError: the broken plugin needs a missing library\n")


def test_importing_the_loader_registers_no_plugin(site, tmp_path):
    code = textwrap.dedent("""\
        import json
        import quorvane.strategy_loader as loader
        before = loader.list_strategies()
        from quorvane.plugins import register_entry_points
        reports = register_entry_points()
        again = register_entry_points()
        print(json.dumps([before, loader.list_strategies(), [r.status for r in reports],
                          reports == again]))
        """)
    env = dict(os.environ, PYTHONPATH=str(site))
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    before, after, statuses, repeated = json.loads(result.stdout)
    assert before == BUILTIN_NAMES
    assert after == BUILTIN_NAMES + ["always_long", "rival"]
    assert sorted(statuses) == ["failed"] * 3 + ["loaded"] * 2 + ["skipped"] * 2
    assert repeated
