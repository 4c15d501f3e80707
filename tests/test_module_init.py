"""Importing quorvane.strategy_loader: the module it makes, the fallback
tiers for the strategy framework, the import guards and how failures are
reported.  Import-time cases run in fresh interpreters over throw-away
package trees (init_support)."""

import builtins
import importlib
import json
import pathlib
import subprocess
import sys
import typing

import pytest

import quorvane.strategy
import quorvane.strategy_loader as loader
import quorvane.trader_core.strategies as framework
import quorvane.trader_core.strategies.base as framework_base
from init_support import ENTRY_FILE, HANDLER_ENTRY, INIT_ENTRY, build_tree

MODULE_DOC = (
    "\nDynamic strategy loading utilities.\n\nSupports loading strategies from:\n"
    "- Built-in strategy names (e.g., 'sma_momentum')\n"
    "- File paths (e.g., 'user_strategies/my_strategy.py')\n- Class instances\n"
)
FUNCTIONS = ["load_strategy", "load_strategy_from_file", "load_strategy_from_module",
             "register_strategy", "list_strategies"]
SIX = ["BollingerMeanReversionStrategy", "DualSMAMomentumStrategy", "MACDCrossoverStrategy",
       "RSIMomentumStrategy", "SMAMomentumStrategy", "VWAPReversionStrategy"]
HEAD = ["__builtins__", "importlib", "sys", "Path", "Any", "Dict", "List", "Optional", "Union"]
TAIL = ["Strategy", "BUILTIN_STRATEGIES", *FUNCTIONS, "__all__", "__test__"]
PACKAGE_TIER_NAMES = HEAD + ["BaseStrategy", *SIX, "InternalBaseStrategy"] + TAIL
BESIDE_TIER_NAMES = HEAD + ["os", "parent_dir", *SIX, "InternalBaseStrategy"] + TAIL


def names_after_file(module_names):
    return module_names[module_names.index("__file__") + 1:]


# -- the module as imported ----------------------------------------------------

def test_module_binds_its_names_in_order():
    # In a fresh interpreter: tests in this process rebind module attributes,
    # which moves them in the namespace's order.
    proc = subprocess.run([sys.executable, "-I", "-c", "import json, quorvane.strategy_loader as m; "
                           "print(json.dumps([m.__file__, list(vars(m))]))"],
                          capture_output=True, text=True, check=True, timeout=60)
    file, names = json.loads(proc.stdout)
    assert file == loader.__file__
    assert names_after_file(names) == PACKAGE_TIER_NAMES
    assert {"__name__", "__doc__", "__package__", "__loader__", "__spec__"} <= set(names)
    assert "__path__" not in names


def test_module_level_values():
    assert loader.__doc__ == MODULE_DOC
    assert loader.__name__ == "quorvane.strategy_loader"
    assert loader.__package__ == "quorvane"
    assert loader.__file__ == loader.__spec__.origin
    assert loader.__builtins__ is builtins
    assert loader.importlib is importlib and loader.importlib.util is importlib.util
    assert loader.Path is pathlib.Path
    assert [getattr(loader, n) for n in ("Any", "Dict", "List", "Optional", "Union")] == [
        typing.Any, typing.Dict, typing.List, typing.Optional, typing.Union]
    assert loader.BaseStrategy is framework.BaseStrategy
    assert loader.InternalBaseStrategy is framework_base.BaseStrategy
    assert loader.Strategy is quorvane.strategy.Strategy
    assert all(getattr(loader, n) is getattr(framework, n) for n in SIX)
    assert loader.__all__ == FUNCTIONS + ["BUILTIN_STRATEGIES"]
    assert type(loader.__test__) is dict and loader.__test__ == {}


@pytest.mark.parametrize("name, defaults", [
    ("load_strategy", (None,)), ("load_strategy_from_file", (None, None)),
    ("load_strategy_from_module", (None,)), ("register_strategy", None), ("list_strategies", None),
])
def test_function_identity(name, defaults):
    function = getattr(loader, name)
    assert function.__name__ == name and function.__qualname__ == name
    assert function.__module__ == "quorvane.strategy_loader"
    assert function.__defaults__ == defaults
    assert function.__globals__ is vars(loader)


# -- fallback tiers -------------------------------------------------------------

# Reports what a successful import left behind.
REPORT = """
report = {
    "names": list(vars(m)),
    "path": list(sys.path),
    "path_before": path_before,
    "sma_module": m.SMAMomentumStrategy.__module__,
    "internal_module": m.InternalBaseStrategy.__module__,
    "base_module": getattr(getattr(m, "BaseStrategy", None), "__module__", None),
    "parent_dir": getattr(m, "parent_dir", None),
    "exc_info": repr(sys.exc_info()),
    "listed": m.list_strategies(),
}
emit(report)
"""

# Makes the package importable, then hides its directory from sys.path so
# that only the directory beside the package can serve `trader_core`.
HIDE_SITE = """
import quorvane
sys.path.remove({site!r})
path_before = list(sys.path)
import quorvane.strategy_loader as m
"""


def test_framework_inside_the_package(tmp_path):
    tree = build_tree(tmp_path)
    tree.framework("other")  # must not be reached
    report = tree.run("path_before = list(sys.path)\nimport quorvane.strategy_loader as m\n" + REPORT,
                      paths=(str(tree.site), str(tmp_path / "other")))
    assert names_after_file(report["names"]) == PACKAGE_TIER_NAMES
    assert report["sma_module"] == "quorvane.trader_core.strategies"
    assert report["internal_module"] == "quorvane.trader_core.strategies.base"
    assert report["path"] == report["path_before"]
    assert report["exc_info"] == "(None, None, None)"
    assert len(report["listed"]) == 6


def test_framework_on_sys_path(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    tree.framework("other")
    report = tree.run("path_before = list(sys.path)\nimport quorvane.strategy_loader as m\n" + REPORT,
                      paths=(str(tree.site), str(tmp_path / "other")))
    assert names_after_file(report["names"]) == PACKAGE_TIER_NAMES
    assert report["sma_module"] == "trader_core.strategies"
    assert report["base_module"] == report["internal_module"] == "trader_core.strategies.base"
    assert report["path"] == report["path_before"]
    assert report["exc_info"] == "(None, None, None)"


def test_framework_beside_the_package_puts_its_directory_first_on_sys_path(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    tree.framework("site")
    report = tree.run(HIDE_SITE.format(site=str(tree.site)) + REPORT)
    assert names_after_file(report["names"]) == BESIDE_TIER_NAMES
    assert report["parent_dir"] == str(tree.site)
    assert report["path"] == [str(tree.site)] + report["path_before"]
    assert report["sma_module"] == "trader_core.strategies"
    assert report["exc_info"] == "(None, None, None)"
    assert len(report["listed"]) == 6


def test_framework_beside_the_package_with_its_directory_already_on_sys_path(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    tree.framework("site")
    # The directory is on sys.path (as an equal, not identical, string), so
    # the second tier is made to fail once to reach the third.
    report = tree.run("""
        class RefuseOnce:
            refused = False
            def find_spec(self, name, path=None, target=None):
                if name == "trader_core" and not RefuseOnce.refused:
                    RefuseOnce.refused = True
                    raise ImportError("refused once")
        sys.meta_path.insert(0, RefuseOnce())
        path_before = list(sys.path)
        import quorvane.strategy_loader as m
    """, REPORT)
    assert names_after_file(report["names"]) == BESIDE_TIER_NAMES
    assert report["parent_dir"] == str(tree.site)
    assert report["path"] == report["path_before"]


def test_names_bound_by_a_failed_tier_stay_bound(tmp_path):
    tree = build_tree(tmp_path)
    tree.write("site/quorvane/trader_core/strategies/__init__.py", "from .base import BaseStrategy\n"
               "class BollingerMeanReversionStrategy(BaseStrategy): pass\n")
    tree.framework("site")
    report = tree.run(HIDE_SITE.format(site=str(tree.site)) + REPORT)
    names = names_after_file(report["names"])
    assert names[9:11] == ["BaseStrategy", "BollingerMeanReversionStrategy"]
    assert names[11:13] == ["os", "parent_dir"]
    assert report["base_module"] == "quorvane.trader_core.strategies.base"
    assert report["sma_module"] == "trader_core.strategies"


IMPORT_AND_DESCRIBE = """
failure = attempt(lambda: __import__("quorvane.strategy_loader"))
emit({"failure": failure, "in_sys_modules": "quorvane.strategy_loader" in sys.modules})
"""


def test_all_tiers_failing_chains_their_exceptions(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    result = tree.run("""
        try:
            raise KeyError("outer")
        except KeyError:
            failure = attempt(lambda: __import__("quorvane.strategy_loader"))
            during_outer = repr(sys.exc_info()[1])
        emit({"failure": failure, "during_outer": during_outer,
              "in_sys_modules": "quorvane.strategy_loader" in sys.modules})
    """)
    tier3 = result["failure"]
    tier2 = tier3["context"]
    tier1 = tier2["context"]
    assert (tier3["type"], tier3["message"]) == ("ModuleNotFoundError", "No module named 'trader_core'")
    assert tier3["entries"] == [[ENTRY_FILE, INIT_ENTRY, 48]]
    assert (tier2["type"], tier2["message"]) == ("ModuleNotFoundError", "No module named 'trader_core'")
    assert tier2["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 32]]
    assert (tier1["type"], tier1["message"]) == ("ModuleNotFoundError", "No module named 'quorvane.trader_core'")
    assert tier1["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 19]]
    assert tier1["context"]["type"] == "KeyError"  # raised while the caller handled it
    assert tier1["context"]["context"] is None
    assert result["during_outer"] == "KeyError('outer')"  # the caller's handled exception is back
    assert not result["in_sys_modules"]


BROKEN = "def broken(:\n"
SELF_CONTAINED_STRATEGIES = "class BaseStrategy: pass\n" + "".join(
    f"class {name}(BaseStrategy): pass\n" for name in SIX)


@pytest.mark.parametrize("tier, broken_module, line", [
    (1, "strategies", 19), (1, "base", 28),
    (2, "strategies", 32), (2, "base", 41),
    (3, "strategies", 48), (3, "base", 56),
])
def test_framework_error_other_than_import_error_is_not_caught(tmp_path, tier, broken_module, line):
    tree = build_tree(tmp_path, package_framework=(tier == 1))
    where = {1: "site/quorvane", 2: "other", 3: "site"}[tier]
    tree.framework(where)
    if broken_module == "base":
        tree.write(f"{where}/trader_core/strategies/__init__.py", SELF_CONTAINED_STRATEGIES)
        tree.write(f"{where}/trader_core/strategies/base.py", BROKEN)
    else:
        tree.write(f"{where}/trader_core/strategies/__init__.py", BROKEN)
    setup = "import quorvane\nsys.path.remove(%r)\n" % str(tree.site) if tier == 3 else ""
    result = tree.run(setup + IMPORT_AND_DESCRIBE, paths=(str(tree.site), str(tmp_path / "other")))
    failure = result["failure"]
    assert failure["type"] == "SyntaxError"
    assert failure["entries"] == [[ENTRY_FILE, INIT_ENTRY, line]]
    if tier > 1:
        handled = failure["context"]
        assert handled["type"] == "ModuleNotFoundError"
        assert handled["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 32 if tier == 3 else 19]]
    assert not result["in_sys_modules"]


def test_handled_exception_is_visible_while_the_next_tier_imports(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    tree.framework("other")
    tree.write("other/trader_core/__init__.py", """
import builtins, sys, traceback
seen = sys.exc_info()[1]
builtins.SEEN = None if seen is None else [
    type(seen).__name__, str(seen),
    [[f.filename, f.name, f.lineno] for f in traceback.extract_tb(seen.__traceback__)]]
""")
    result = tree.run("""
        try:
            raise KeyError("outer")
        except KeyError:
            import quorvane.strategy_loader
            during_outer = repr(sys.exc_info()[1])
        import builtins
        emit({"seen": builtins.SEEN, "during_outer": during_outer, "after": repr(sys.exc_info())})
    """, paths=(str(tree.site), str(tmp_path / "other")))
    kind, message, entries = result["seen"]
    assert (kind, message) == ("ModuleNotFoundError", "No module named 'quorvane.trader_core'")
    assert [ENTRY_FILE, HANDLER_ENTRY, 19] in entries
    assert result["during_outer"] == "KeyError('outer')"
    assert result["after"] == "(None, None, None)"


def test_cached_framework_module_lacking_a_name_falls_back(tmp_path):
    tree = build_tree(tmp_path)
    strip = """
        import quorvane.trader_core.strategies as cached
        del cached.VWAPReversionStrategy
    """
    failed = tree.run(strip, IMPORT_AND_DESCRIBE)["failure"]
    tier1 = failed["context"]["context"]
    assert (tier1["type"], tier1["message"]) == ("ImportError", "cannot import name VWAPReversionStrategy")
    assert tier1["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 19]]

    tree.framework("other")
    report = tree.run(strip, "path_before = None\nimport quorvane.strategy_loader as m\n", REPORT,
                      paths=(str(tree.site), str(tmp_path / "other")))
    assert report["sma_module"] == "trader_core.strategies"


def test_framework_module_path_without_strategy_fails_at_its_line(tmp_path):
    tree = build_tree(tmp_path)
    failure = tree.run("sys.modules['quorvane.strategy'] = None\n" + IMPORT_AND_DESCRIBE)["failure"]
    assert failure["type"] == "ModuleNotFoundError"
    assert failure["entries"] == [[ENTRY_FILE, INIT_ENTRY, 58]]


# -- repeated and failed imports ------------------------------------------------

def test_reimport_and_reload_return_the_same_initialised_module(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run("""
        import importlib
        import quorvane.strategy_loader as first
        from quorvane.strategy import Strategy
        class Mine(Strategy): pass
        first.register_strategy("Mine", Mine)
        registry = first.BUILTIN_STRATEGIES
        del sys.modules["quorvane.strategy_loader"]
        import quorvane.strategy_loader as second
        third = importlib.reload(second)
        emit({
            "same": second is first and third is first,
            "registry_kept": first.BUILTIN_STRATEGIES is registry,
            "listed": third.list_strategies(),
        })
    """)
    assert result["same"] and result["registry_kept"]
    assert result["listed"][-1] == "mine" and len(result["listed"]) == 7


def test_failed_import_leaves_nothing_behind_for_the_next_attempt(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run("""
        sys.modules["quorvane.strategy"] = None
        failure = attempt(lambda: __import__("quorvane.strategy_loader"))
        del sys.modules["quorvane.strategy"]
        import quorvane.strategy_loader as m
        from quorvane.strategy import Strategy
        class Mine(Strategy): pass
        m.register_strategy("mine", Mine)
        emit({
            "failure": failure,
            "globals_ok": all(getattr(m, f).__globals__ is vars(m) for f in m.__all__[:5]),
            "registered": "mine" in m.BUILTIN_STRATEGIES,
            "listed": m.list_strategies(),
        })
    """)
    assert result["failure"]["entries"] == [[ENTRY_FILE, INIT_ENTRY, 58]]
    assert result["globals_ok"] and result["registered"]
    assert result["listed"][-1] == "mine"


LOAD_AS_TOP_LEVEL = """
import importlib.util
so_path = {so!r}
spec = importlib.util.spec_from_file_location("strategy_loader", so_path)
m = importlib.util.module_from_spec(spec)
failure = attempt(lambda: spec.loader.exec_module(m))
"""


def test_loaded_as_top_level_module_served_by_package_entries(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run("""
        import quorvane.strategy, quorvane.trader_core.strategies, quorvane.trader_core.strategies.base
    """, LOAD_AS_TOP_LEVEL.format(so=str(tree.extension)), """
        canonical = sys.modules.get("quorvane.strategy_loader")
        import quorvane.strategy_loader as imported
        emit({
            "failure": failure,
            "name": m.__name__,
            "canonical_is_m": canonical is m and imported is m,
            "function_module": m.load_strategy.__module__,
            "framework": m.SMAMomentumStrategy is quorvane.trader_core.strategies.SMAMomentumStrategy,
            "strategy": m.Strategy is quorvane.strategy.Strategy,
            "listed": m.list_strategies(),
        })
    """)
    assert result["failure"] is None
    assert result["name"] == "strategy_loader"
    assert result["canonical_is_m"] and result["framework"] and result["strategy"]
    assert result["function_module"] == "quorvane.strategy_loader"
    assert len(result["listed"]) == 6


def test_loaded_as_top_level_module_without_package_fails_and_cleans_up(tmp_path):
    tree = build_tree(tmp_path)
    tree.framework("other")  # lets the tiers succeed, so the import fails at `Strategy`
    result = tree.run(LOAD_AS_TOP_LEVEL.format(so=str(tree.extension)), """
        leftover = "quorvane.strategy_loader" in sys.modules
        import quorvane.strategy_loader as later
        emit({
            "failure": failure,
            "leftover": leftover,
            "later_is_new": later is not m and later.__name__ == "quorvane.strategy_loader",
            "listed": later.list_strategies(),
        })
    """, paths=(str(tree.site), str(tmp_path / "other")))
    failure = result["failure"]
    assert (failure["type"], failure["message"]) == (
        "ImportError", "attempted relative import with no known parent package")
    assert failure["entries"] == [[ENTRY_FILE, INIT_ENTRY, 58]]
    assert failure["context"] is None  # the handled tier-1 failure is dropped once tier 2 succeeds
    assert not result["leftover"]
    assert result["later_is_new"] and len(result["listed"]) == 6


def test_failed_load_under_another_name_keeps_a_canonical_entry_it_did_not_make(tmp_path):
    tree = build_tree(tmp_path)
    tree.framework("other")
    result = tree.run("""
        import types
        placeholder = types.ModuleType("placeholder")
        sys.modules["quorvane.strategy_loader"] = placeholder
    """, LOAD_AS_TOP_LEVEL.format(so=str(tree.extension)), """
        emit({"failure": failure, "kept": sys.modules.get("quorvane.strategy_loader") is placeholder})
    """, paths=(str(tree.site), str(tmp_path / "other")))
    assert result["failure"]["entries"] == [[ENTRY_FILE, INIT_ENTRY, 58]]
    assert result["kept"]


# -- a second interpreter ------------------------------------------------------------

@pytest.mark.parametrize("first_import", ["succeeded", "failed"])
def test_second_interpreter_is_refused(tmp_path, first_import):
    tree = build_tree(tmp_path)
    out = tmp_path / "subinterpreter.json"
    setup = "import quorvane.strategy_loader\n" if first_import == "succeeded" else (
        "sys.modules['quorvane.strategy'] = None\n"
        "first = attempt(lambda: __import__('quorvane.strategy_loader'))\n"
        "assert first is not None\n")
    result = tree.run(setup + f"""
import _xxsubinterpreters as interpreters
interp = interpreters.create(isolated=False)
interpreters.run_string(interp, '''
import json, sys
sys.path.insert(0, {str(tree.site)!r})
try:
    import quorvane.strategy_loader
    outcome = None
except BaseException as exc:
    outcome = [type(exc).__name__, str(exc)]
with open({str(out)!r}, "w") as f:
    json.dump(outcome, f)
''')
interpreters.destroy(interp)
emit(json.load(open({str(out)!r})))
""")
    assert result == ["ImportError", "Interpreter change detected - this module can only be loaded "
                                     "into one interpreter per process."]


# -- traceback entries of the module body ----------------------------------------

@pytest.mark.parametrize("order", [["import", "runtime"], ["runtime", "import"]])
def test_entries_sharing_a_line_keep_their_own_function_names(tmp_path, order):
    # Tier 1 fails at line 19 either with an ImportError (handled: entry
    # "quorvane.strategy_loader") or with another error (fails the import:
    # entry "init quorvane.strategy_loader").
    tree = build_tree(tmp_path)
    tree.write("site/quorvane/trader_core/strategies/__init__.py", """
import builtins
if builtins.MODE == "import":
    raise ImportError("first")
raise RuntimeError("second")
""")
    result = tree.run(f"""
        import builtins
        seen = {{}}
        for mode in {order!r}:
            builtins.MODE = mode
            seen[mode] = attempt(lambda: __import__("quorvane.strategy_loader"))
        emit(seen)
    """)
    handled = result["import"]["context"]["context"]
    assert handled["message"] == "first"
    assert handled["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 19]]
    assert result["runtime"]["type"] == "RuntimeError"
    assert result["runtime"]["entries"] == [[ENTRY_FILE, INIT_ENTRY, 19]]


# -- create and exec steps driven directly ------------------------------------------------

DRIVE_STEPS = """
import _imp, importlib.util, types
import quorvane
spec = importlib.util.find_spec("quorvane.strategy_loader")
"""


def test_create_step_copies_the_spec(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run(DRIVE_STEPS, """
        class RaisingSpec:
            name, origin, loader = spec.name, spec.origin, spec.loader
            @property
            def parent(self):
                raise LookupError("parent")
        refused = attempt(lambda: _imp.create_dynamic(RaisingSpec()))
        custom = types.SimpleNamespace(name="quorvane.strategy_loader", origin=spec.origin, parent=None,
                                       submodule_search_locations=["search"])
        made = _imp.create_dynamic(custom)
        import quorvane.strategy_loader as m
        emit({"refused": refused, "made": {k: repr(v) for k, v in vars(made).items()},
              "later_is_new": m is not made, "listed": len(m.list_strategies())})
    """)
    assert result["refused"]["type"] == "LookupError" and result["refused"]["entries"] == []
    made = result["made"]
    assert made["__file__"] == repr(str(tree.extension))
    assert made["__package__"] == "None" and made["__path__"] == "['search']"
    assert result["later_is_new"] and result["listed"] == 6


def test_exec_step_on_a_second_module_object_is_refused(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run(DRIVE_STEPS, """
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        again = _imp.exec_dynamic(first)
        refused = attempt(lambda: _imp.exec_dynamic(second))
        import quorvane.strategy_loader as m
        emit({"distinct": first is not second, "again": again, "refused": refused,
              "imported_first": m is first, "second_untouched": "load_strategy" not in vars(second)})
    """)
    assert result["distinct"] and result["again"] == 0
    refused = result["refused"]
    assert (refused["type"], refused["message"]) == (
        "RuntimeError", "Module 'strategy_loader' has already been imported. Re-initialisation is not supported.")
    assert refused["entries"] == []
    assert result["imported_first"] and result["second_untouched"]


def test_beside_tier_needs_the_module_file(tmp_path):
    tree = build_tree(tmp_path, package_framework=False)
    result = tree.run(DRIVE_STEPS, """
        m = _imp.create_dynamic(spec)
        del m.__file__
        emit({"failure": attempt(lambda: _imp.exec_dynamic(m)),
              "in_sys_modules": "quorvane.strategy_loader" in sys.modules})
    """)
    failure = result["failure"]
    assert (failure["type"], failure["message"]) == ("NameError", "name '__file__' is not defined")
    assert failure["entries"] == [[ENTRY_FILE, INIT_ENTRY, 45]]
    assert failure["context"]["entries"] == [[ENTRY_FILE, HANDLER_ENTRY, 32]]
    assert not result["in_sys_modules"]
