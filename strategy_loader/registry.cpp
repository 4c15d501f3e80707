// register_strategy and list_strategies: the built-in registry
// BUILTIN_STRATEGIES, resolved by name at each call so that a mapping bound
// in its place serves both functions.

#include "binding.hpp"
#include "calls.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

namespace strategy_loader {

namespace {

constexpr const char register_strategy_doc[] =
    "\n    Register a custom strategy for reuse.\n    \n    Args:\n        name: Strategy name\n"
    "        strategy_class: Strategy class\n    ";
constexpr const char list_strategies_doc[] = "List all available built-in strategies.";

PyObject* fail(int line) { return fail_at(tb_register_strategy, line); }

PyObject* register_strategy(PyObject* const* values, PyObject*) {
    PyObject* name = values[0];
    PyObject* strategy_class = values[1];

    int is_strategy = derives_from(strategy_class, names.Strategy);
    if (is_strategy < 0) return fail(243);
    if (!is_strategy) {
        int is_base = derives_from(strategy_class, names.InternalBaseStrategy);
        if (is_base < 0) return fail(243);
        if (!is_base) {
            PyErr_SetString(PyExc_ValueError, "strategy_class must inherit from Strategy or BaseStrategy");
            return fail(244);
        }
    }

    OwnedRef registry = resolve_global(names.BUILTIN_STRATEGIES);
    if (!registry) return fail(246);
    OwnedRef key = lower_text(name);
    if (!key) return fail(246);
    if (PyObject_SetItem(registry.get(), key.get(), strategy_class) < 0) return fail(246);
    Py_RETURN_NONE;
}

PyObject* list_strategies() {
    OwnedRef registry = resolve_global(names.BUILTIN_STRATEGIES);
    if (!registry) return fail_at(tb_list_strategies, 251);
    return result_or_fail(listed_keys(registry.get()), tb_list_strategies, 251);
}

}  // namespace

const FunctionDef register_strategy_def = {
    .method = {"register_strategy", as_method_function(fastcall_entry<register_strategy_def>), METH_FASTCALL | METH_KEYWORDS, register_strategy_doc},
    .kind = CallKind::parameters,
    .positional = 2,
    .required = 2,
    .parameter_names = {&names.name, &names.strategy_class, nullptr},
    .tests = {{0, &PyUnicode_Type, false}, {1, &PyType_Type, false}},
    .test_count = 2,
    .definition_line = 232,
    .traceback_name = tb_register_strategy,
    .operation = register_strategy,
    .no_arguments_operation = nullptr,
};

const FunctionDef list_strategies_def = {
    .method = {"list_strategies", as_method_function(no_arguments_entry<list_strategies_def>), METH_NOARGS, list_strategies_doc},
    .kind = CallKind::no_arguments,
    .positional = 0,
    .required = 0,
    .parameter_names = {nullptr, nullptr, nullptr},
    .tests = {},
    .test_count = 0,
    .definition_line = 249,
    .traceback_name = tb_list_strategies,
    .operation = nullptr,
    .no_arguments_operation = list_strategies,
};

}  // namespace strategy_loader
