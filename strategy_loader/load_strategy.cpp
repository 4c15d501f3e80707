// load_strategy: the front door. Tells the kinds of strategy specification
// apart by a fixed sequence of tests, in this order: instance, class,
// built-in name, existing .py path, module path; anything else is refused.

#include "binding.hpp"
#include "calls.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

namespace strategy_loader {

namespace {

constexpr const char load_strategy_doc[] =
    "\n    Load strategy from various formats.\n    \n    Args:\n"
    "        strategy_spec: Strategy name, file path, class, or instance\n"
    "        symbols: List of symbols (for Strategy class instantiation)\n"
    "        **kwargs: Additional arguments for strategy instantiation\n    \n    Returns:\n"
    "        Strategy instance\n    \n    Examples:\n        # Built-in strategy\n"
    "        strategy = load_strategy('sma_momentum', ma_period=20)\n        \n        # From file\n"
    "        strategy = load_strategy('user_strategies/my_strategy.py')\n        \n        # From class\n"
    "        strategy = load_strategy(MyStrategy, symbols=['OGDC'])\n    ";

PyObject* fail(int line) { return fail_at(tb_load_strategy, line); }

// isinstance(obj, cls). For an exact str or an exact-type class tested
// against a class whose metaclass is exactly `type` there is no hook to
// run and `obj.__class__` cannot differ from type(obj), so the answer is
// the subtype test alone.
int is_instance(PyObject* obj, PyObject* cls) {
    if (PyType_CheckExact(cls) && (PyUnicode_CheckExact(obj) || PyType_CheckExact(obj))) {
        return PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
    }
    return PyObject_IsInstance(obj, cls);
}

PyObject* finish(OwnedRef result, int line) { return result_or_fail(std::move(result), tb_load_strategy, line); }

// `cls` is a class: construct it, or refuse a class of neither base.
PyObject* load_class(PyObject* cls, PyObject* symbols, PyObject* kwargs) {
    int is_strategy = derives_from(cls, names.Strategy);
    if (is_strategy < 0) return fail(104);
    if (is_strategy) return finish(construct_with_symbols(cls, symbols, kwargs), 105);
    int is_base = derives_from(cls, names.InternalBaseStrategy);
    if (is_base < 0) return fail(106);
    if (is_base) return finish(call_keywords(cls, kwargs), 107);
    PyErr_SetString(PyExc_ValueError, "Strategy class must inherit from Strategy or BaseStrategy");
    return fail(109);
}

// A registry entry is constructed from the extra keywords. A caller's
// non-empty symbols list also reaches a registered Strategy subclass:
// dropping it silently would lose the caller's data while reporting
// success. Without symbols nothing beyond the plain call happens.
PyObject* construct_registered(PyObject* strategy_class, PyObject* symbols, PyObject* kwargs) {
    if (symbols != Py_None && PyList_GET_SIZE(symbols) > 0 && PyType_Check(strategy_class)) {
        int is_strategy = derives_from(strategy_class, names.Strategy);
        if (is_strategy < 0) return fail(116);
        if (is_strategy) return finish(construct_with_symbols(strategy_class, symbols, kwargs), 116);
    }
    return finish(call_keywords(strategy_class, kwargs), 116);
}

// Are all keys of `kwargs` exact strs other than `parameter`?
bool plain_keywords(PyObject* kwargs, PyObject* parameter) {
    if (!kwargs) return true;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, parameter) == 0) return false;
    }
    return true;
}

// Calls a loader resolved by name: loader(first, symbols=symbols, **kwargs).
PyObject* delegate(PyObject* loader_name, PyObject* first, PyObject* symbols, PyObject* kwargs, int line) {
    OwnedRef loader = resolve_global(loader_name);
    if (!loader) return fail(line);
    // Our own function, still bound under its name, is run without the
    // round trip through a keyword dict and a second binding, whose outcome
    // is known here: `first` and `symbols` have passed their tests, and
    // kwargs never holds "symbols". Only a keyword that may clash with the
    // loader's first parameter (one equal to it, or one that is not an
    // exact str and may claim equality) needs the full call.
    if (Py_IS_TYPE(loader.get(), reinterpret_cast<PyTypeObject*>(state.function_type)) &&
        reinterpret_cast<FunctionObject*>(loader.get())->def == &load_strategy_from_module_def &&
        PyUnicode_CheckExact(first) && plain_keywords(kwargs, names.module_path)) {
        PyObject* values[max_parameters] = {first, symbols, nullptr};
        PyObject* result = run_operation(&load_strategy_from_module_def, values, kwargs);
        return result ? result : fail(line);
    }
    OwnedRef keywords = keywords_with_first(names.symbols, symbols, kwargs);
    if (!keywords) return fail(line);
    return finish(call_object(loader.get(), &first, 1, keywords.get()), line);
}

PyObject* not_found(PyObject* spec) {
    OwnedRef spec_text = format_value(spec);
    if (!spec_text) return fail(128);
    OwnedRef registry = resolve_global(names.BUILTIN_STRATEGIES);
    if (!registry) return fail(129);
    OwnedRef key_list = listed_keys(registry.get());
    if (!key_list) return fail(129);
    OwnedRef keys_text = format_value(key_list.get());
    if (!keys_text) return fail(129);
    OwnedRef message =
        join_text({names.msg_strategy_open, spec_text.get(), names.msg_strategy_not_found, keys_text.get()});
    if (!message) return fail(128);
    PyErr_SetObject(PyExc_ValueError, message.get());
    return fail(127);
}

PyObject* load_string(PyObject* spec, PyObject* symbols, PyObject* kwargs) {
    // Built-in name, in any letter case.
    OwnedRef lowered = lower_text(spec);
    if (!lowered) return fail(114);
    OwnedRef registry = resolve_global(names.BUILTIN_STRATEGIES);
    if (!registry) return fail(114);
    int registered = PySequence_Contains(registry.get(), lowered.get());
    if (registered < 0) return fail(114);
    if (registered) {
        registry = resolve_global(names.BUILTIN_STRATEGIES);
        if (!registry) return fail(115);
        // str.lower of an exact str is pure: the first result stands for
        // the second call. A subclass's own lower() is called again.
        if (!PyUnicode_CheckExact(spec)) {
            lowered = call_method0(spec, names.lower);
            if (!lowered) return fail(115);
        }
        OwnedRef strategy_class = OwnedRef::steal(PyObject_GetItem(registry.get(), lowered.get()));
        if (!strategy_class) return fail(115);
        return construct_registered(strategy_class.get(), symbols, kwargs);
    }
    registry.reset();
    lowered.reset();

    // An existing file with the exact suffix ".py".
    OwnedRef path_type = resolve_global(names.Path);
    if (!path_type) return fail(119);
    OwnedRef strategy_path = call_object(path_type.get(), &spec, 1, nullptr);
    if (!strategy_path) return fail(119);
    OwnedRef exists = call_method0(strategy_path.get(), names.exists);
    if (!exists) return fail(120);
    int present = PyObject_IsTrue(exists.get());
    if (present < 0) return fail(120);
    if (present) {
        OwnedRef suffix = OwnedRef::steal(PyObject_GetAttr(strategy_path.get(), names.suffix));
        if (!suffix) return fail(120);
        OwnedRef equal = OwnedRef::steal(PyObject_RichCompare(suffix.get(), names.py_suffix, Py_EQ));
        if (!equal) return fail(120);
        int is_python = PyObject_IsTrue(equal.get());
        if (is_python < 0) return fail(120);
        if (is_python) {
            return delegate(names.load_strategy_from_file, strategy_path.get(), symbols, kwargs, 121);
        }
    }

    // A dotted module path.
    int dotted = PySequence_Contains(spec, names.dot);
    if (dotted < 0) return fail(124);
    if (dotted) return delegate(names.load_strategy_from_module, spec, symbols, kwargs, 125);

    return not_found(spec);
}

PyObject* load_strategy(PyObject* const* values, PyObject* kwargs) {
    PyObject* spec = values[0];
    PyObject* symbols = values[1];

    // An existing strategy instance is returned as it is.
    OwnedRef strategy = resolve_global(names.Strategy);
    if (!strategy) return fail(99);
    OwnedRef internal_base = resolve_global(names.InternalBaseStrategy);
    if (!internal_base) return fail(99);
    int found = is_instance(spec, strategy.get());
    if (found < 0) return fail(99);
    if (!found) {
        found = is_instance(spec, internal_base.get());
        if (found < 0) return fail(99);
    }
    if (found) return Py_NewRef(spec);
    strategy.reset();
    internal_base.reset();

    if (PyType_Check(spec)) return load_class(spec, symbols, kwargs);
    if (PyUnicode_Check(spec)) return load_string(spec, symbols, kwargs);

    OwnedRef type_text = format_value(reinterpret_cast<PyObject*>(Py_TYPE(spec)));
    if (!type_text) return fail(132);
    OwnedRef message = join_text({names.msg_invalid_spec, type_text.get()});
    if (!message) return fail(132);
    PyErr_SetObject(PyExc_ValueError, message.get());
    return fail(132);
}

}  // namespace

const FunctionDef load_strategy_def = {
    .method = {"load_strategy", as_method_function(fastcall_entry<load_strategy_def>), METH_FASTCALL | METH_KEYWORDS, load_strategy_doc},
    .kind = CallKind::parameters_with_extra_keywords,
    .positional = 2,
    .required = 1,
    .parameter_names = {&names.strategy_spec, &names.symbols, nullptr},
    .tests = {{1, &PyList_Type, true}, {}},
    .test_count = 1,
    .definition_line = 72,
    .traceback_name = tb_load_strategy,
    .operation = load_strategy,
    .no_arguments_operation = nullptr,
};

}  // namespace strategy_loader
