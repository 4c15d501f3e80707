"""How the five functions take their arguments and what they expose:
binding and its messages, exact-type tests, function attributes,
introspection, pickling and the traceback entries of binding errors."""

import abc
import copy
import ctypes
import inspect
import pickle
import sys
import traceback
import types
import warnings

import pytest

import quorvane.strategy_loader as loader
from quorvane.strategy import Strategy

ENTRY_FILE = "quorvane/strategy_loader"
NOTE = ("Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
        "If you need to pass subclasses then set the 'annotation_typing' directive to False.")
FUNCTIONS = ["load_strategy", "load_strategy_from_file", "load_strategy_from_module",
             "register_strategy", "list_strategies"]
DEFINITION_LINES = {"load_strategy": 72, "load_strategy_from_file": 135,
                    "load_strategy_from_module": 200, "register_strategy": 232}


class Recording(Strategy):
    """Keeps the keywords its constructor got, in arrival order."""

    def __init__(self, **kwargs):
        self.received = list(kwargs.items())


class ListSubclass(list):
    pass


class StrSubclass(str):
    pass


class AbstractStrategy(Strategy, metaclass=abc.ABCMeta):
    pass


def module_entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == ENTRY_FILE]


def entry_for(function):
    return [(f"quorvane.strategy_loader.{function}", DEFINITION_LINES[function])]


def vectorcall(function, args, kwnames, kwvalues):
    """Calls through the vectorcall protocol with a names tuple of our choice."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return call(function, stack, len(args), tuple(kwnames))


# -- binding errors --------------------------------------------------------------

@pytest.mark.parametrize("function, args, kwargs, message", [
    ("load_strategy", (), {}, "load_strategy() takes at least 1 positional argument (0 given)"),
    ("load_strategy", ("a", None, None), {}, "load_strategy() takes at most 2 positional arguments (3 given)"),
    ("load_strategy", ("a", None, None), {"strategy_spec": 1},
     "load_strategy() takes at most 2 positional arguments (3 given)"),
    ("load_strategy", (), {"symbols": None}, "load_strategy() takes at least 1 positional argument (0 given)"),
    ("load_strategy", ("sma_momentum",), {"strategy_spec": "x"},
     "load_strategy() got multiple values for keyword argument 'strategy_spec'"),
    ("load_strategy", ("a", None), {"symbols": None},
     "load_strategy() got multiple values for keyword argument 'symbols'"),
    ("load_strategy_from_file", (), {"symbols": None, "class_name": None},
     "load_strategy_from_file() takes at least 1 positional argument (0 given)"),
    ("load_strategy_from_file", (1, 2, 3, 4), {},
     "load_strategy_from_file() takes at most 3 positional arguments (4 given)"),
    ("load_strategy_from_module", (), {}, "load_strategy_from_module() takes at least 1 positional argument (0 given)"),
    ("register_strategy", ("x",), {}, "register_strategy() takes exactly 2 positional arguments (1 given)"),
    ("register_strategy", ("x", Recording, 3), {}, "register_strategy() takes exactly 2 positional arguments (3 given)"),
    ("register_strategy", (), {"strategy_class": Recording},
     "register_strategy() takes exactly 2 positional arguments (0 given)"),
    ("register_strategy", (), {"name": "x"}, "register_strategy() takes exactly 2 positional arguments (1 given)"),
    ("register_strategy", ("x",), {"name": "y"}, "register_strategy() got multiple values for keyword argument 'name'"),
    ("register_strategy", ("x", Recording), {"extra": 1},
     "register_strategy() got an unexpected keyword argument 'extra'"),
    ("register_strategy", ("x", Recording), {"nàme": 1},
     "register_strategy() got an unexpected keyword argument 'nàme'"),
    ("register_strategy", (), {"extra": 1}, "register_strategy() got an unexpected keyword argument 'extra'"),
    # The first offending keyword, in call order, decides.
    ("register_strategy", ("x",), {"extra": 1, "name": "y"},
     "register_strategy() got an unexpected keyword argument 'extra'"),
    ("register_strategy", ("x",), {"name": "y", "extra": 1},
     "register_strategy() got multiple values for keyword argument 'name'"),
])
def test_binding_errors_carry_the_definition_line(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(loader, function)(*args, **kwargs)
    assert str(caught.value) == message
    assert module_entries(caught.value) == entry_for(function)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "list_strategies() takes no arguments (1 given)"),
    ((1, 2), {}, "list_strategies() takes no arguments (2 given)"),
    ((), {"x": 1}, "list_strategies() takes no keyword arguments"),
    ((1,), {"x": 1}, "list_strategies() takes no keyword arguments"),
])
def test_list_strategies_refuses_arguments_without_an_entry(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        loader.list_strategies(*args, **kwargs)
    assert str(caught.value) == message
    assert module_entries(caught.value) == []


@pytest.mark.parametrize("function", DEFINITION_LINES)
def test_keyword_name_of_another_type_in_a_names_tuple(function):
    with pytest.raises(TypeError) as caught:
        vectorcall(getattr(loader, function), ["x"], [1], [2])
    assert str(caught.value) == f"{function}() keywords must be strings"
    assert module_entries(caught.value) == entry_for(function)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_generic_call_with_a_non_str_key(function):
    with pytest.raises(TypeError) as caught:
        getattr(loader, function)(**{1: 2})
    assert str(caught.value) == "keywords must be strings"
    assert module_entries(caught.value) == []


# -- exact-type tests ------------------------------------------------------------

@pytest.mark.parametrize("function, args, parameter, expected, got, subclass", [
    ("load_strategy", ("sma_momentum", ("A",)), "symbols", "list", "tuple", False),
    ("load_strategy", ("sma_momentum", ListSubclass(["A"])), "symbols", "list", "ListSubclass", True),
    ("load_strategy_from_file", ("x.py", "A"), "symbols", "list", "str", False),
    ("load_strategy_from_file", ("x.py", None, 5), "class_name", "str", "int", False),
    ("load_strategy_from_file", ("x.py", None, StrSubclass("C")), "class_name", "str", "StrSubclass", True),
    ("load_strategy_from_module", (None,), "module_path", "str", "NoneType", False),
    ("load_strategy_from_module", (StrSubclass("m.C"),), "module_path", "str", "StrSubclass", True),
    ("load_strategy_from_module", ("m.C", ListSubclass()), "symbols", "list", "ListSubclass", True),
    ("register_strategy", (None, Recording), "name", "str", "NoneType", False),
    ("register_strategy", (StrSubclass("x"), Recording), "name", "str", "StrSubclass", True),
    ("register_strategy", (None, 5), "name", "str", "NoneType", False),  # name is tested first
    ("register_strategy", ("x", 5), "strategy_class", "type", "int", False),
    ("register_strategy", ("x", AbstractStrategy), "strategy_class", "type", "ABCMeta", True),
])
def test_exact_type_tests(function, args, parameter, expected, got, subclass):
    with pytest.raises(TypeError) as caught:
        getattr(loader, function)(*args)
    assert str(caught.value) == f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"
    assert getattr(caught.value, "__notes__", None) == ([NOTE] if subclass else None)
    assert module_entries(caught.value) == []


# -- what binding hands on --------------------------------------------------------

def test_keywords_bind_by_value_and_extras_keep_call_order():
    symbols = ["A"]
    built = "".join(["sym", "bols"])  # equal to the parameter name, not the same object
    made = loader.load_strategy(Recording, b=1, **{built: symbols}, a=2)
    assert made.received == [("symbols", symbols), ("b", 1), ("a", 2)]
    assert made.received[0][1] is symbols


def test_generic_call_path_with_str_subclass_keys_and_other_mappings():
    symbols = ["A"]
    made = loader.load_strategy(*[Recording], **{StrSubclass("symbols"): symbols, StrSubclass("extra"): 3})
    assert made.received == [("symbols", symbols), ("extra", 3)]
    assert made.received[0][1] is symbols
    made = loader.load_strategy(Recording, **types.MappingProxyType({"q": 1}))
    assert made.received == [("symbols", []), ("q", 1)]
    try:
        assert loader.register_strategy(*("mapping_call", Recording), **{}) is None
    finally:
        loader.BUILTIN_STRATEGIES.pop("mapping_call", None)
    assert loader.list_strategies(**{}) == list(loader.BUILTIN_STRATEGIES)


MARK = object()


@pytest.mark.parametrize("call", [
    lambda: loader.load_strategy(MARK, None, MARK),
    lambda: loader.load_strategy(MARK, strategy_spec=MARK),
    lambda: loader.register_strategy("x", Recording, extra=MARK),
    lambda: loader.load_strategy(MARK, symbols=(MARK,)),
    lambda: loader.load_strategy(Recording, extra=MARK),
    lambda: loader.load_strategy(MARK, **{StrSubclass("extra"): MARK}),
    lambda: loader.load_strategy_from_module("no_such_module_here.Cls", marker=MARK),
], ids=["count", "multiple", "unexpected", "type", "success", "extra-subclass-key", "operation-error"])
def test_calls_release_what_they_were_given(call):
    def run():
        try:
            call()
        except Exception:
            pass
    run()
    before = sys.getrefcount(MARK)
    for _ in range(50):
        run()
    assert sys.getrefcount(MARK) == before


# -- attributes ------------------------------------------------------------------

DOCS = {
    "load_strategy": "\n    Load strategy from various formats.\n    \n    Args:\n        strategy_spec: Strategy name, file "
    "path, class, or instance\n        symbols: List of symbols (for Strategy class instantiation)\n        **kwargs: "
    "Additional arguments for strategy instantiation\n    \n    Returns:\n        Strategy instance\n    \n    "
    "Examples:\n        # Built-in strategy\n        strategy = load_strategy('sma_momentum', ma_period=20)\n        "
    "\n        # From file\n        strategy = load_strategy('user_strategies/my_strategy.py')\n        \n        "
    "# From class\n        strategy = load_strategy(MyStrategy, symbols=['OGDC'])\n    ",
    "load_strategy_from_file": "\n    Load strategy from a Python file.\n    \n    Args:\n        file_path: Path to "
    "Python file\n        symbols: List of symbols (for Strategy class)\n        class_name: Name of strategy class "
    "(if None, auto-detect)\n        **kwargs: Additional arguments for strategy instantiation\n    \n    Returns:\n"
    "        Strategy instance\n    ",
    "load_strategy_from_module": "\n    Load strategy from module path (e.g., 'user_strategies.my_strategy.MyStrategy')"
    ".\n    \n    Args:\n        module_path: Dot-separated module path\n        symbols: List of symbols (for "
    "Strategy class)\n        **kwargs: Additional arguments for strategy instantiation\n    \n    Returns:\n        "
    "Strategy instance\n    ",
    "register_strategy": "\n    Register a custom strategy for reuse.\n    \n    Args:\n        name: Strategy name\n"
    "        strategy_class: Strategy class\n    ",
    "list_strategies": "List all available built-in strategies.",
}
RESULT = "Union[Strategy, InternalBaseStrategy]"
ANNOTATIONS = {
    "load_strategy": {"strategy_spec": "Union[str, Strategy, InternalBaseStrategy]",
                      "symbols": "Optional[List[str]]", "kwargs": "Any", "return": RESULT},
    "load_strategy_from_file": {"file_path": "Path", "symbols": "Optional[List[str]]",
                                "class_name": "Optional[str]", "kwargs": "Any", "return": RESULT},
    "load_strategy_from_module": {"module_path": "str", "symbols": "Optional[List[str]]", "kwargs": "Any",
                                  "return": RESULT},
    "register_strategy": {"name": "str", "strategy_class": "type", "return": "None"},
    "list_strategies": {"return": "List[str]"},
}
SIGNATURES = {
    "load_strategy": "(strategy_spec: 'Union[str, Strategy, InternalBaseStrategy]', "
                     "symbols: 'Optional[List[str]]' = None, **kwargs: 'Any') -> 'Union[Strategy, InternalBaseStrategy]'",
    "load_strategy_from_file": "(file_path: 'Path', symbols: 'Optional[List[str]]' = None, "
                               "class_name: 'Optional[str]' = None, **kwargs: 'Any') "
                               "-> 'Union[Strategy, InternalBaseStrategy]'",
    "load_strategy_from_module": "(module_path: 'str', symbols: 'Optional[List[str]]' = None, **kwargs: 'Any') "
                                 "-> 'Union[Strategy, InternalBaseStrategy]'",
    "register_strategy": "(name: 'str', strategy_class: 'type') -> 'None'",
    "list_strategies": "() -> 'List[str]'",
}
CODES = {
    "load_strategy": (2, ("strategy_spec", "symbols", "kwargs", "strategy_class", "strategy_path"), True, 72),
    "load_strategy_from_file": (3, ("file_path", "symbols", "class_name", "kwargs", "spec", "module",
                                    "strategy_class", "name", "obj"), True, 135),
    "load_strategy_from_module": (2, ("module_path", "symbols", "kwargs", "parts", "class_name", "module_name",
                                      "module", "strategy_class"), True, 200),
    "register_strategy": (2, ("name", "strategy_class"), False, 232),
    "list_strategies": (0, (), False, 249),
}
each_function = pytest.mark.parametrize("name", FUNCTIONS)


@each_function
def test_read_only_view_of_each_function(name):
    function = getattr(loader, name)
    assert function.__doc__ == function.func_doc == DOCS[name]
    assert list(function.__annotations__.items()) == list(ANNOTATIONS[name].items())
    assert function.__kwdefaults__ is None
    assert function.__globals__ is function.func_globals is vars(loader)
    assert function.__closure__ is None and function.func_closure is None
    assert function.__code__ is function.func_code
    assert function.func_name == name and function.func_defaults == function.__defaults__
    assert function._is_coroutine is False
    assert repr(function) == f"<cyfunction {name} at {id(function):#x}>"


@each_function
def test_signature(name):
    assert str(inspect.signature(getattr(loader, name))) == SIGNATURES[name]


@each_function
def test_code_object(name):
    code = getattr(loader, name).__code__
    argcount, varnames, varkeywords, first_line = CODES[name]
    assert (code.co_argcount, code.co_varnames, code.co_firstlineno) == (argcount, varnames, first_line)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | (inspect.CO_VARKEYWORDS if varkeywords else 0)
    assert (code.co_filename, code.co_name, code.co_qualname) == (ENTRY_FILE, name, name)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()


@each_function
def test_pickles_and_copies_as_a_module_attribute(name):
    function = getattr(loader, name)
    assert function.__reduce__() == name
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function


@pytest.mark.parametrize("attribute", ["__globals__", "func_globals", "__closure__", "func_closure",
                                       "__code__", "func_code"])
def test_read_only_attributes(attribute):
    with pytest.raises(AttributeError):
        setattr(loader.load_strategy, attribute, None)


@pytest.mark.parametrize("attribute, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__defaults__", [None], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", 1, "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_wrong_type_writes_are_refused_and_change_nothing(attribute, value, message):
    function = loader.load_strategy
    before = getattr(function, attribute)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refused write must not warn either
        with pytest.raises(TypeError) as caught:
            setattr(function, attribute, value)
    assert str(caught.value) == message
    assert getattr(function, attribute) == before


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_cannot_be_deleted(attribute):
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        delattr(loader.register_strategy, attribute)


def test_renaming_shows_in_repr_and_reduce(monkeypatch):
    function = loader.list_strategies
    monkeypatch.setattr(function, "__name__", "renamed")
    monkeypatch.setattr(function, "__qualname__", StrSubclass("Holder.renamed"))
    assert function.__name__ == function.func_name == "renamed"
    assert repr(function) == f"<cyfunction Holder.renamed at {id(function):#x}>"
    assert function.__reduce__() == "Holder.renamed"


def test_doc_and_instance_dict_are_writable(monkeypatch):
    function = loader.register_strategy
    monkeypatch.setattr(function, "__doc__", 42)
    assert function.__doc__ == function.func_doc == 42
    monkeypatch.delattr(function, "__doc__")
    assert function.__doc__ is None
    monkeypatch.setattr(function, "marker", "set", raising=False)
    assert function.__dict__ == function.func_dict == {"marker": "set"}


@pytest.mark.parametrize("attribute, value, message", [
    ("__defaults__", (["DEFAULT"],), "changes to cyfunction.__defaults__ will not currently affect "
                                     "the values used in function calls"),
    ("__defaults__", None, "changes to cyfunction.__defaults__ will not currently affect "
                           "the values used in function calls"),
    ("__kwdefaults__", {"symbols": ["DEFAULT"]}, "changes to cyfunction.__kwdefaults__ will not currently "
                                                 "affect the values used in function calls"),
    ("__kwdefaults__", None, "changes to cyfunction.__kwdefaults__ will not currently affect "
                             "the values used in function calls"),
])
def test_default_writes_warn_and_do_not_change_binding(attribute, value, message):
    function = loader.load_strategy
    before = getattr(function, attribute)
    try:
        with pytest.warns(RuntimeWarning) as caught:
            setattr(function, attribute, value)
        assert [str(w.message) for w in caught] == [message]
        assert getattr(function, attribute) == value
        assert loader.load_strategy(Recording).received == [("symbols", [])]
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(function, attribute, before)
    assert getattr(function, attribute) == before


def test_defaults_do_not_make_required_parameters_optional():
    function = loader.register_strategy
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        function.__defaults__ = ("x", Recording)
        try:
            with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(0 given\)"):
                function()
        finally:
            function.__defaults__ = None
    assert function.__defaults__ is None


def test_defaults_write_refused_when_warnings_are_errors():
    function = loader.load_strategy
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            function.__defaults__ = ("other",)
    assert function.__defaults__ == (None,)


def test_annotations_removed_then_recreated_empty():
    function = loader.list_strategies
    original = function.__annotations__
    try:
        function.__annotations__ = None
        fresh = function.__annotations__
        assert fresh == {} and function.__annotations__ is fresh
    finally:
        function.__annotations__ = original
    assert function.__annotations__ is original


# -- as a class attribute ----------------------------------------------------------

class Holder(Strategy):
    load = loader.load_strategy
    register = loader.register_strategy


def test_binds_to_instances_like_a_function():
    holder = Holder()
    assert Holder.load is loader.load_strategy
    assert loader.load_strategy.__get__(None, Holder) is loader.load_strategy
    bound = holder.load
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is holder and bound.__func__ is loader.load_strategy
    # The instance arrives as strategy_spec: an instance is returned as is.
    assert holder.load() is holder
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got Holder\)$"):
        holder.register(Recording)
