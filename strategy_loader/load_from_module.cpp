// load_strategy_from_module: 'package.module.ClassName' -> instance.

#include "binding.hpp"
#include "calls.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

#include <cstdint>

namespace strategy_loader {

namespace {

constexpr const char load_strategy_from_module_doc[] =
    "\n    Load strategy from module path (e.g., 'user_strategies.my_strategy.MyStrategy').\n    \n    Args:\n"
    "        module_path: Dot-separated module path\n        symbols: List of symbols (for Strategy class)\n"
    "        **kwargs: Additional arguments for strategy instantiation\n    \n    Returns:\n"
    "        Strategy instance\n    ";

PyObject* fail(int line) { return fail_at(tb_load_strategy_from_module, line); }

// Splits of recently seen module paths. Loops pass the same path object
// again and again; a hit saves making both parts and hashing the class
// name for its attribute look-up. Entries hold their key, so its address
// cannot be reused while it is cached.
struct SplitPath {
    PyObject* path;
    PyObject* module_name;
    PyObject* class_name;
};

constexpr Py_ssize_t split_cache_max_length = 256;
SplitPath split_cache[8];

// split('.') then '.'.join(parts[:-1]) and parts[-1] amount to the text
// before and after the last dot; at least two parts means a dot. Returns
// 1 with both parts, 0 when there is no dot, -1 on error.
int split_module_path(PyObject* module_path, OwnedRef* module_name, OwnedRef* class_name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(module_path);
    const bool cacheable = length <= split_cache_max_length;
    SplitPath& entry = split_cache[(reinterpret_cast<uintptr_t>(module_path) >> 4) & 7];
    if (cacheable && entry.path == module_path) {
        *module_name = OwnedRef::borrow(entry.module_name);
        *class_name = OwnedRef::borrow(entry.class_name);
        return 1;
    }
    const Py_ssize_t dot = PyUnicode_FindChar(module_path, '.', 0, length, -1);
    if (dot == -2) return -1;
    if (dot < 0) return 0;
    *class_name = OwnedRef::steal(PyUnicode_Substring(module_path, dot + 1, length));
    if (!*class_name) return -1;
    *module_name = OwnedRef::steal(PyUnicode_Substring(module_path, 0, dot));
    if (!*module_name) return -1;
    if (cacheable && PyObject_Hash(class_name->get()) != -1) {
        Py_XSETREF(entry.path, Py_NewRef(module_path));
        Py_XSETREF(entry.module_name, Py_NewRef(module_name->get()));
        Py_XSETREF(entry.class_name, Py_NewRef(class_name->get()));
    }
    PyErr_Clear();
    return 1;
}

PyObject* load_strategy_from_module(PyObject* const* values, PyObject* kwargs) {
    PyObject* module_path = values[0];  // exactly str: the binding tested it
    PyObject* symbols = values[1];

    OwnedRef module_name;
    OwnedRef class_name;
    int parts = split_module_path(module_path, &module_name, &class_name);
    if (parts < 0) return fail(216);
    if (parts == 0) {
        OwnedRef message = join_text({names.msg_invalid_module_path, module_path});
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return fail(218);
    }

    OwnedRef importlib = resolve_global(names.importlib);
    if (!importlib) return fail(223);
    OwnedRef module = call_method1(importlib.get(), names.import_module, module_name.get());
    if (!module) return fail(223);

    OwnedRef strategy_class = OwnedRef::steal(PyObject_GetAttr(module.get(), class_name.get()));
    if (!strategy_class) return fail(224);

    int is_strategy = derives_from(strategy_class.get(), names.Strategy);
    if (is_strategy < 0) return fail(226);
    if (is_strategy) {
        return result_or_fail(construct_with_symbols(strategy_class.get(), symbols, kwargs),
                              tb_load_strategy_from_module, 227);
    }
    // The extra-keywords dict belongs to this call alone, so it is handed
    // on as the constructor's keywords without a copy.
    return result_or_fail(call_keywords(strategy_class.get(), kwargs), tb_load_strategy_from_module, 229);
}

}  // namespace

void forget_module_path_splits() {
    for (SplitPath& entry : split_cache) entry = SplitPath{};
}

const FunctionDef load_strategy_from_module_def = {
    .method = {"load_strategy_from_module", as_method_function(fastcall_entry<load_strategy_from_module_def>), METH_FASTCALL | METH_KEYWORDS, load_strategy_from_module_doc},
    .kind = CallKind::parameters_with_extra_keywords,
    .positional = 2,
    .required = 1,
    .parameter_names = {&names.module_path, &names.symbols, nullptr},
    .tests = {{0, &PyUnicode_Type, false}, {1, &PyList_Type, true}},
    .test_count = 2,
    .definition_line = 200,
    .traceback_name = tb_load_strategy_from_module,
    .operation = load_strategy_from_module,
    .no_arguments_operation = nullptr,
};

}  // namespace strategy_loader
