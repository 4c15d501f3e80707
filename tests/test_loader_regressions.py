"""Regressions of the compiled loader found by review and attack: memory
safety under hostile modules, allocation failures, the collector and
interpreter lifecycles; calls of misbehaving callees; and the functions as
profilers and pydoc see them.  Scenarios that could crash the interpreter
run in subprocesses over throw-away package trees (init_support)."""

import cProfile
import inspect
import io
import os
import profile
import pstats
import pydoc
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import quorvane.strategy_loader as sl
from init_support import build_tree

FUNCTIONS = ["load_strategy", "load_strategy_from_file", "load_strategy_from_module",
             "register_strategy", "list_strategies"]
SIX = ["sma_momentum", "dual_sma_momentum", "rsi_momentum", "macd_crossover",
       "bollinger_mean_reversion", "vwap_reversion"]


def compiler():
    found = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if not found:
        pytest.skip("no C compiler")
    return found


def compile_c(tmp_path, name, source, flags):
    source_path = tmp_path / f"{name}.c"
    source_path.write_text(textwrap.dedent(source))
    done = subprocess.run([compiler(), str(source_path), *flags], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


# -- a lazy module that replaces its own sys.modules entry -------------------------

def test_a_lazy_module_replacing_its_own_entry_during_the_import(tmp_path):
    # The proxy's __getattr__ puts the real module back, dropping the last
    # reference to the proxy while the module body still tests its names.
    result = build_tree(tmp_path).run("""
        import typing
        class LazyTyping:
            def __getattr__(self, name):
                sys.modules["typing"] = typing
                return getattr(typing, name)
        sys.modules["typing"] = LazyTyping()
        import quorvane.strategy_loader as sl
        emit([sl.Union is typing.Union, sl.List is typing.List, sys.modules["typing"] is typing])
    """)
    assert result == [True, True, True]


# -- every allocation of the import failing in turn --------------------------------

IMPORT_NO_MEMORY = """
import collections, ctypes, importlib.util, os, _testcapi
import pathlib, typing, quorvane.strategy, quorvane.trader_core.strategies.base

spec = importlib.util.find_spec("quorvane.strategy_loader")
ctypes.CDLL(spec.origin)  # the loader's own allocations are not the subject

def child(n):
    _testcapi.set_nomemory(n, n + 1)  # only the n-th allocation fails
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
        outcome = "imported"
    except BaseException as exc:
        outcome = type(exc).__name__
    _testcapi.remove_mem_hooks()
    # Whatever happened, the next import gets a working module.
    import quorvane.strategy_loader as sl
    assert sl.list_strategies() == {six!r}, outcome
    assert type(sl.load_strategy("sma_momentum")).__name__ == "SMAMomentumStrategy"
    return outcome

outcomes = collections.Counter()
bad = []
n = successes_in_a_row = 0
while successes_in_a_row < 100:  # well past the import's last allocation
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            text = child(n)
        except BaseException as exc:
            text = "afterwards " + repr(exc)
        os.write(w, text.encode())
        os._exit(0)
    os.close(w)
    text = os.read(r, 1000).decode()
    os.close(r)
    status = os.waitpid(pid, 0)[1]
    if status or text not in ("imported", "MemoryError", "SystemError"):
        bad.append((n, status, text))
    outcomes[text] += 1
    successes_in_a_row = successes_in_a_row + 1 if text == "imported" else 0
    n += 1
emit({{"bad": bad[:5], "outcomes": outcomes}})
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_every_allocation_of_the_import_failing_in_turn(tmp_path):
    pytest.importorskip("_testcapi")
    result = build_tree(tmp_path).run(IMPORT_NO_MEMORY.format(six=SIX))
    assert result["bad"] == []
    assert result["outcomes"]["MemoryError"] > 100


# -- a function revived after the collector cleared it -----------------------------

def test_a_cleared_function_can_still_be_inspected_and_called(tmp_path):
    # What the collector's clear leaves behind when a weakref callback or a
    # finalizer revives the function afterwards.
    result = build_tree(tmp_path).run("""
        import ctypes, pickle
        import quorvane.strategy_loader as sl
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(sl.list_strategies), 51))
        f = sl.list_strategies
        assert clear(f) == 0
        emit({
            "repr": repr(f).split(" at ")[0],
            "names": [f.__name__, f.__qualname__, f.__reduce__()],
            "none": [f.__doc__, f.__globals__, f.__module__, f.__code__, f.__defaults__, f.__kwdefaults__],
            "annotations": f.__annotations__,
            "dict": f.__dict__,
            "pickle": attempt(lambda: pickle.dumps(f))["type"],
            "call": f(),
        })
    """)
    assert result == {
        "repr": "<cyfunction ", "names": ["", "", ""], "none": [None] * 6, "annotations": {}, "dict": {},
        "pickle": "PicklingError", "call": SIX,
    }


# -- a rebinding made while a name is being looked up -------------------------------

def test_a_rebinding_during_a_look_up_is_seen_by_the_next_call(tmp_path):
    # With `Path` unbound in the module, its look-up goes on to the builtins,
    # where a colliding key's equality test binds a module-level `Path`.
    result = build_tree(tmp_path).run("""
        import builtins
        import quorvane.strategy_loader as sl

        def path_of(where):
            def make(text):
                raise LookupError(where)
            return make

        class Colliding:
            def __hash__(self):
                return hash("Path")
            def __eq__(self, other):
                sl.Path = path_of("module")
                return False

        builtins.__dict__[Colliding()] = None  # probed before the entry below
        builtins.Path = path_of("builtins")
        del sl.Path
        emit([str(attempt(lambda: sl.load_strategy_from_file("x.py"))["message"]) for _ in range(3)])
    """)
    assert result == ["builtins", "module", "module"]


# -- interpreter lifecycle ----------------------------------------------------------

EMBED = """
    #include <Python.h>

    /* argv[1] rounds of: initialise; run argv[3], when given, in a new
       subinterpreter; run argv[2] in the main interpreter; finalise. */
    int main(int argc, char** argv) {
        if (argc < 3) return 2;
        for (int round = 1; round <= atoi(argv[1]); ++round) {
            Py_Initialize();
            int failed = 0;
            if (argc > 3) {
                PyThreadState* main_thread = PyThreadState_Get();
                if (!Py_NewInterpreter()) return 20 + round;
                failed = PyRun_SimpleString(argv[3]);
                Py_EndInterpreter(PyThreadState_Get());
                PyThreadState_Swap(main_thread);
            }
            failed |= PyRun_SimpleString(argv[2]);
            if (Py_FinalizeEx() < 0 || failed) return 10 + round;
        }
        return 0;
    }
"""


def embed_flags():
    config = Path(sys._base_executable).with_name(f"python{sysconfig.get_config_var('VERSION')}-config")
    if not config.exists():
        pytest.skip(f"no {config.name}")
    flags = []
    for args in (["--cflags"], ["--embed", "--ldflags"]):
        flags += subprocess.run([str(config), *args], capture_output=True, text=True, check=True).stdout.split()
    return flags + [f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"]


def run_embedded(tmp_path, *args):
    """Compiles the embedding program and runs it with ``args``."""
    program = tmp_path / "embed"
    compile_c(tmp_path, "embed", EMBED, ["-o", str(program), *embed_flags()])
    env = {**os.environ, "PYTHONHOME": sys.base_prefix, "PYTHONNOUSERSITE": "1"}
    return subprocess.run([str(program), *args], capture_output=True, text=True, timeout=120,
                          env=env)


def test_an_embedding_program_that_initialises_the_interpreter_twice(tmp_path):
    tree = build_tree(tmp_path)
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tree.site)!r})
        import quorvane.strategy_loader as sl
        made = sl.load_strategy(strategy_spec="SMA_Momentum", ma_period=3)
        try:
            sl.register_strategy("x")
        except TypeError as exc:
            error = str(exc)
        print(sl.list_strategies()[0], type(made).__name__, made.params, error, flush=True)
    """)
    done = run_embedded(tmp_path, "2", script)
    line = ("sma_momentum SMAMomentumStrategy {'ma_period': 3} "
            "register_strategy() takes exactly 2 positional arguments (1 given)")
    assert (done.returncode, done.stdout.splitlines()) == (0, [line, line]), done.stderr


@pytest.mark.parametrize("main_imports", [False, True])
def test_a_subinterpreter_importing_first_in_each_new_runtime_gets_a_fresh_module(tmp_path, main_imports):
    tree = build_tree(tmp_path)
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tree.site)!r})
        import quorvane.strategy_loader as sl
        sl.register_strategy("mine", sl.Strategy)
        print(sl.sys is sys, sl.list_strategies()[-1], type(sl.load_strategy("rsi_momentum")).__name__, flush=True)
    """)
    done = run_embedded(tmp_path, "3", script if main_imports else "pass", script)
    lines = ["True mine RSIMomentumStrategy"] * (6 if main_imports else 3)
    assert (done.returncode, done.stdout.splitlines()) == (0, lines), done.stderr


def test_the_main_interpreter_imports_once_the_owning_subinterpreter_is_gone(tmp_path):
    tree = build_tree(tmp_path)
    result = tree.run(f"""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, '''
        import sys
        sys.path.insert(0, {str(tree.site)!r})
        import quorvane.strategy_loader
        quorvane.strategy_loader.register_strategy("mine", quorvane.strategy_loader.Strategy)
        ''')
        while_alive = attempt(lambda: __import__("quorvane.strategy_loader"))
        interpreters.destroy(interp)
        import quorvane.strategy_loader as sl
        emit([while_alive["message"], sl.list_strategies(), type(sl.load_strategy("rsi_momentum")).__name__,
              attempt(lambda: sl.load_strategy())["message"]])
    """)
    assert result == [
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        SIX, "RSIMomentumStrategy", "load_strategy() takes at least 1 positional argument (0 given)",
    ]


# -- callees whose call slot breaks the interpreter's rule ---------------------------

MISBEHAVING = """
    #define PY_SSIZE_T_CLEAN
    #include <Python.h>

    /* Callables without vectorcall: one returns a result with an exception
       set, the other fails without setting one; and an object whose
       attribute look-up fails without setting one. */
    static PyObject* result_with_error(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyErr_SetString(PyExc_KeyError, "left pending");
        return Py_NewRef(Py_None);
    }

    static PyObject* null_without_error(PyObject* self, PyObject* args, PyObject* kwargs) { return NULL; }
    static PyObject* no_attribute_without_error(PyObject* self, PyObject* name) { return NULL; }

    static PyType_Slot result_slots[] = {{Py_tp_call, result_with_error}, {0, NULL}};
    static PyType_Slot null_slots[] = {{Py_tp_call, null_without_error}, {0, NULL}};
    static PyType_Slot attribute_slots[] = {{Py_tp_getattro, no_attribute_without_error}, {0, NULL}};
    static PyType_Spec result_spec = {"misbehaving.ResultWithError", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                      result_slots};
    static PyType_Spec null_spec = {"misbehaving.NullWithoutError", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                    null_slots};

    static PyType_Spec attribute_spec = {"misbehaving.NullAttributes", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                         attribute_slots};

    static int exec_module(PyObject* module) {
        PyObject* attributes = PyType_FromSpec(&attribute_spec);
        if (PyModule_AddObject(module, "NullAttributes", attributes) < 0) return -1;
        PyObject* result = PyType_FromSpec(&result_spec);
        if (PyModule_AddObject(module, "ResultWithError", result) < 0) return -1;
        PyObject* null = PyType_FromSpec(&null_spec);
        return PyModule_AddObject(module, "NullWithoutError", null);
    }

    static PyModuleDef_Slot slots[] = {{Py_mod_exec, exec_module}, {0, NULL}};
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, "misbehaving", NULL, 0, NULL, slots};
    PyMODINIT_FUNC PyInit_misbehaving(void) { return PyModuleDef_Init(&def); }
"""


@pytest.fixture(scope="module")
def misbehaving(tmp_path_factory):
    import importlib.util
    where = tmp_path_factory.mktemp("misbehaving")
    target = where / f"misbehaving{sysconfig.get_config_var('EXT_SUFFIX')}"
    compile_c(where, "misbehaving", MISBEHAVING,
              ["-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", "-o", str(target)])
    spec = importlib.util.spec_from_file_location("misbehaving", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("callee, message, cause", [
    ("ResultWithError", "<misbehaving.ResultWithError object at", KeyError),
    ("NullWithoutError", "NULL result without error in PyObject_Call", type(None)),
])
def test_a_call_slot_breaking_the_result_rule_fails_the_call(misbehaving, monkeypatch, callee, message, cause):
    monkeypatch.setattr(sl, "Path", getattr(misbehaving, callee)())
    with pytest.raises(SystemError) as caught:
        sl.load_strategy_from_file("x.py")
    assert str(caught.value).startswith(message)
    assert type(caught.value.__cause__) is cause
    assert caught.value.__traceback__.tb_next.tb_frame.f_code.co_name.endswith(".load_strategy_from_file")


def test_a_step_failing_without_an_exception_is_reported_as_system_error(misbehaving):
    # The traceback entry needs an exception to join; the step is named.
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(misbehaving.__file__)!r})
        import misbehaving
        import quorvane.strategy_loader as sl
        sl.importlib = misbehaving.NullAttributes()
        try:
            sl.load_strategy_from_module("a.B")
        except SystemError as exc:
            print(exc)
    """)
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60,
                          cwd=os.path.dirname(sys.executable))
    assert (done.returncode, done.stdout) == (0, "quorvane.strategy_loader.load_strategy_from_module (line 223) "
                                                 "returned NULL without setting an exception\n"), done.stderr


# -- the functions as tools see them ---------------------------------------------------

@pytest.mark.parametrize("profiler, rows", [
    (cProfile, ["{quorvane.strategy_loader.load_strategy}", "{quorvane.strategy_loader.list_strategies}"]),
    (profile, [":0(load_strategy)", ":0(list_strategies)"]),
])
def test_profilers_report_calls_of_the_functions(profiler, rows):
    recorder = profiler.Profile()
    recorder.runcall(lambda: (sl.load_strategy("sma_momentum"), sl.list_strategies()))
    out = io.StringIO()
    pstats.Stats(recorder, stream=out).print_stats()
    for row in rows:
        assert any(line.split()[:1] == ["1"] and line.endswith(row) for line in out.getvalue().splitlines()), row
    # The strategy's constructor is charged to the function, not to its caller.
    constructor_callers = [caller[2] for (_, _, name), (*_, callers) in pstats.Stats(recorder).stats.items()
                           if name == "__init__" for caller in callers]
    assert any("load_strategy" in caller for caller in constructor_callers), constructor_callers


def test_the_functions_are_builtin_functions_with_their_own_identity():
    functions = [getattr(sl, name) for name in FUNCTIONS]
    assert len({f: None for f in functions}) == 5
    assert [f == g for f in functions for g in functions].count(True) == 5
    assert pydoc.render_doc(sl.load_strategy).splitlines()[0] == (
        "Python Library Documentation: built-in function load_strategy in module quorvane.strategy_loader")
    assert type(sl.load_strategy).__module__ == "quorvane.strategy_loader"
    assert inspect.getmodule(type(sl.load_strategy)) is sl
    assert sl.load_strategy.__self__ is None and sl.load_strategy.__text_signature__ is None

