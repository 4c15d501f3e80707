"""The floor of each benchmark case: the work the call cannot avoid, written
directly in Python, with nothing of the dispatch around it.

A case's floor is the statement a caller would write if it already knew
what the loader finds out: construct the class, store into the dict, list
the keys, import the module and take its attribute, run the import
machinery on a file. The loader can only approach these numbers; the ratio
native/floor is what the dispatch costs on top.

Error cases have no floor: raising is the work.
"""

from __future__ import annotations

import importlib
import importlib.util

# Statement per case key, timed with the names of namespace() as globals.
STATEMENTS = {
    "name": "SMAMomentumStrategy()",
    "name_kw": "SMAMomentumStrategy(ma_period=20)",
    "name_mixed_kw": "SMAMomentumStrategy(ma_period=20)",
    "class_symbols": "BenchStrategy(symbols=SYMBOLS)",
    # The one test that recognises an instance; the result is the object itself.
    "instance": "isinstance(INSTANCE, Strategy)",
    # Without the path-existence test and the dispatch of the string.
    "module_via_load": "getattr(import_module('qv_bench_strategies'), 'BenchStrategy')(symbols=[])",
    "module_direct": "getattr(import_module('collections'), 'OrderedDict')()",
    "register": "REGISTRY['x'] = BenchStrategy",
    "list": "list(REGISTRY.keys())",
    "file": "load_file(FILE)",
}


def load_file(path):
    """The import-machinery steps of a file load, then the instantiation."""
    spec = importlib.util.spec_from_file_location("strategy_module", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.SmallStrategy(symbols=[])


def namespace(shared: dict, registry: dict) -> dict:
    """Globals for the floor statements: the shared benchmark objects, a
    registry of the same size as the loader's, and the direct helpers."""
    from quorvane.strategy import Strategy
    from quorvane.trader_core.strategies import SMAMomentumStrategy

    return dict(
        shared,
        Strategy=Strategy,
        SMAMomentumStrategy=SMAMomentumStrategy,
        REGISTRY=registry,
        import_module=importlib.import_module,
        load_file=load_file,
    )
