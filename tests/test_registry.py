"""register_strategy and list_strategies over BUILTIN_STRATEGIES, and how
both find the registry and the two base classes by name at each call.
(Their argument binding errors are covered in test_calling_convention.)"""

import builtins
import traceback

import pytest

import quorvane.strategy_loader as loader
import quorvane.trader_core.strategies as framework
from quorvane.strategy import Strategy
from quorvane.trader_core.strategies.base import BaseStrategy

ENTRY_FILE = "quorvane/strategy_loader"
BUILTIN_KEYS = ["sma_momentum", "dual_sma_momentum", "rsi_momentum", "macd_crossover",
                "bollinger_mean_reversion", "vwap_reversion"]
BUILTIN_CLASSES = [framework.SMAMomentumStrategy, framework.DualSMAMomentumStrategy,
                   framework.RSIMomentumStrategy, framework.MACDCrossoverStrategy,
                   framework.BollingerMeanReversionStrategy, framework.VWAPReversionStrategy]


class Mine(Strategy):
    pass


class MineBase(BaseStrategy):
    pass


class MineBoth(Strategy, BaseStrategy):
    pass


class Boom(Exception):
    pass


class RaisingCheck(type):
    """Metaclass of a base whose subclass test raises; keeps what it raised."""

    raised = None

    def __subclasscheck__(cls, subclass):
        RaisingCheck.raised = Boom("subclass hook")
        raise RaisingCheck.raised


class RaisingBase(metaclass=RaisingCheck):
    pass


class FailingMapping:
    """A mapping stand-in whose every operation fails with its own error."""

    raised = None

    def __setitem__(self, key, value):
        self.raised = Boom("item assignment")
        raise self.raised

    def keys(self):
        self.raised = Boom("keys")
        raise self.raised


class RecordingMapping:
    """The least a registry needs: item assignment and keys()."""

    def __init__(self):
        self.stored = []

    def __setitem__(self, key, value):
        self.stored.append((key, value))

    def keys(self):
        return (key for key, _ in self.stored)


def module_entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == ENTRY_FILE]


@pytest.fixture
def registry():
    """The registry dict; its contents are put back after the test."""
    current = loader.BUILTIN_STRATEGIES
    saved = dict(current)
    yield current
    current.clear()
    current.update(saved)


# -- the registry as imported and as it grows ------------------------------------------

def test_builtins_listed_in_order():
    assert loader.list_strategies()[:6] == BUILTIN_KEYS
    assert [loader.BUILTIN_STRATEGIES[key] for key in BUILTIN_KEYS] == BUILTIN_CLASSES


@pytest.mark.parametrize("name, key", [
    ("My_Strategy", "my_strategy"),
    ("", ""),
    ("\u0130X", "i\u0307x"),  # full Unicode lower-casing: one code point becomes two
    ("\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"),  # final sigma
])
def test_register_stores_under_the_lowered_name(registry, name, key):
    assert key == name.lower()
    assert loader.register_strategy(name, Mine) is None
    assert registry[key] is Mine
    assert loader.list_strategies() == BUILTIN_KEYS + [key]


@pytest.mark.parametrize("cls", [Mine, MineBase, MineBoth])
def test_either_base_is_accepted(registry, cls):
    loader.register_strategy("x", cls)
    assert registry["x"] is cls


def test_reregistering_replaces_in_place(registry):
    loader.register_strategy("SMA_Momentum", Mine)
    loader.register_strategy("late", MineBase)
    loader.register_strategy("LATE", MineBoth)
    assert loader.list_strategies() == BUILTIN_KEYS + ["late"]
    assert registry["sma_momentum"] is Mine and registry["late"] is MineBoth


def test_listing_is_a_new_list_every_time(registry):
    first = loader.list_strategies()
    second = loader.list_strategies()
    assert first == second and first is not second
    first.append("ghost")
    assert "ghost" not in registry and loader.list_strategies() == second


# -- refusals --------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [object, int, type("Plain", (), {})])
def test_class_of_neither_base_is_refused(registry, cls):
    before = list(registry.items())
    with pytest.raises(ValueError) as caught:
        loader.register_strategy("x", cls)
    assert str(caught.value) == "strategy_class must inherit from Strategy or BaseStrategy"
    assert module_entries(caught.value) == [("quorvane.strategy_loader.register_strategy", 244)]
    assert list(registry.items()) == before


@pytest.mark.parametrize("missing, cls, line", [
    ("Strategy", Mine, 243),
    ("Strategy", MineBase, 243),
    ("InternalBaseStrategy", MineBase, 243),
    ("BUILTIN_STRATEGIES", Mine, 246),
])
def test_unbound_module_name_in_register(monkeypatch, registry, missing, cls, line):
    monkeypatch.delattr(loader, missing)
    before = list(registry.items())
    with pytest.raises(NameError) as caught:
        loader.register_strategy("x", cls)
    assert str(caught.value) == f"name '{missing}' is not defined"
    assert module_entries(caught.value) == [("quorvane.strategy_loader.register_strategy", line)]
    assert list(registry.items()) == before


def test_internal_base_is_not_needed_for_a_strategy_subclass(monkeypatch, registry):
    monkeypatch.delattr(loader, "InternalBaseStrategy")
    loader.register_strategy("x", Mine)
    assert registry["x"] is Mine


def test_unbound_registry_in_list(monkeypatch):
    monkeypatch.delattr(loader, "BUILTIN_STRATEGIES")
    with pytest.raises(NameError) as caught:
        loader.list_strategies()
    assert str(caught.value) == "name 'BUILTIN_STRATEGIES' is not defined"
    assert module_entries(caught.value) == [("quorvane.strategy_loader.list_strategies", 251)]


@pytest.mark.parametrize("base_name, cls", [("Strategy", Mine), ("InternalBaseStrategy", MineBase)])
def test_subclass_test_errors_pass_unchanged(monkeypatch, registry, base_name, cls):
    monkeypatch.setattr(loader, base_name, RaisingBase)
    if base_name == "InternalBaseStrategy":
        monkeypatch.setattr(loader, "Strategy", Mine)  # MineBase is not a Mine: go on to the second test
    with pytest.raises(Boom) as caught:
        loader.register_strategy("x", cls)
    assert caught.value is RaisingCheck.raised
    assert module_entries(caught.value) == [("quorvane.strategy_loader.register_strategy", 243)]
    assert "x" not in registry


def test_base_bound_to_a_non_class(monkeypatch):
    monkeypatch.setattr(loader, "Strategy", 5)
    with pytest.raises(TypeError, match="issubclass") as caught:
        loader.register_strategy("x", Mine)
    assert module_entries(caught.value) == [("quorvane.strategy_loader.register_strategy", 243)]


@pytest.mark.parametrize("bound, function, error, line", [
    (FailingMapping(), "register_strategy", Boom, 246),
    ((), "register_strategy", TypeError, 246),
    (FailingMapping(), "list_strategies", Boom, 251),
    ((), "list_strategies", AttributeError, 251),
    (type("KeysNotIterable", (), {"keys": lambda self: 5})(), "list_strategies", TypeError, 251),
])
def test_registry_operation_errors_pass_unchanged(monkeypatch, bound, function, error, line):
    monkeypatch.setattr(loader, "BUILTIN_STRATEGIES", bound)
    with pytest.raises(error) as caught:
        if function == "register_strategy":
            loader.register_strategy("x", Mine)
        else:
            loader.list_strategies()
    if error is Boom:
        assert caught.value is bound.raised
    assert module_entries(caught.value) == [(f"quorvane.strategy_loader.{function}", line)]


# -- names resolved at each call --------------------------------------------------------

def test_rebound_registry_serves_both_functions(monkeypatch, registry):
    other = {"only": Mine}
    monkeypatch.setattr(loader, "BUILTIN_STRATEGIES", other)
    loader.register_strategy("Added", MineBase)
    assert other == {"only": Mine, "added": MineBase}
    assert loader.list_strategies() == ["only", "added"]
    assert "added" not in registry

    mapping = RecordingMapping()
    monkeypatch.setattr(loader, "BUILTIN_STRATEGIES", mapping)
    loader.register_strategy("Custom", Mine)
    assert mapping.stored == [("custom", Mine)]
    assert loader.list_strategies() == ["custom"]


def test_rebound_bases_change_what_is_accepted(monkeypatch, registry):
    class OtherBase:
        pass

    class OtherStrategy(OtherBase):
        pass

    monkeypatch.setattr(loader, "Strategy", OtherBase)
    loader.register_strategy("other", OtherStrategy)
    assert registry["other"] is OtherStrategy
    with pytest.raises(ValueError):
        loader.register_strategy("mine", Mine)  # now derives from neither base
    monkeypatch.undo()
    loader.register_strategy("mine", Mine)
    assert registry["mine"] is Mine


@pytest.mark.parametrize("name", ["Strategy", "InternalBaseStrategy", "BUILTIN_STRATEGIES"])
def test_names_missing_from_the_module_are_found_in_builtins(monkeypatch, registry, name):
    value = {"BUILTIN_STRATEGIES": {}}.get(name, getattr(loader, name))
    monkeypatch.delattr(loader, name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    loader.register_strategy("x", MineBase)
    loader.register_strategy("y", Mine)
    target = value if name == "BUILTIN_STRATEGIES" else registry
    assert target["x"] is MineBase and target["y"] is Mine
    assert loader.list_strategies()[-2:] == ["x", "y"]
