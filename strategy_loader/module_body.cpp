#include "module_body.hpp"

#include "function_type.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

namespace strategy_loader {

namespace {

// Statements return 0, or the line of the failing statement with the
// exception set and no traceback entry yet: the caller decides whether the
// failure is handled (a fallback tier) or fails the import.

int bind(PyObject* name, PyObject* value) { return PyDict_SetItem(state.namespace_dict, name, value); }

// Import statements ********************************************************

// A strong reference to the sys.modules entry under `key`: null without an
// error when there is none.
OwnedRef modules_entry(PyObject* key) {
    return OwnedRef::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), key));
}

// `import a.b`: binds the top-level package `a` under its own name, taking
// it from sys.modules when `a.b` is already imported.
int import_statement(PyObject* dotted, PyObject* top_level, int line) {
    OwnedRef package = modules_entry(dotted);
    if (!package && PyErr_Occurred()) return line;
    if (package && dotted != top_level) {
        package = modules_entry(top_level);
        if (!package && PyErr_Occurred()) return line;
    }
    if (!package) {
        OwnedRef locals = OwnedRef::steal(PyDict_New());
        if (!locals) return line;
        package = OwnedRef::steal(
            PyImport_ImportModuleLevelObject(dotted, state.namespace_dict, locals.get(), nullptr, 0));
        if (!package) return line;
    }
    return bind(top_level, package.get()) < 0 ? line : 0;
}

struct ImportedName {
    PyObject** name;
    PyObject** bind_as;  // null: bound under its own name
};

// Does `module` have every wanted name? Any failure to tell counts as no.
bool has_all(PyObject* module, const ImportedName* wanted, int count) {
    for (int i = 0; i < count; ++i) {
        if (!PyObject_HasAttr(module, *wanted[i].name)) return false;
    }
    return true;
}

// One name of a `from` import: the attribute, or the submodule of that name
// already in sys.modules; otherwise ImportError "cannot import name".
OwnedRef fetch_name(PyObject* module, PyObject* name) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(module, name));
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        OwnedRef module_name = OwnedRef::steal(PyObject_GetAttr(module, names.dunder_name));
        OwnedRef full_name;
        if (module_name && PyUnicode_Check(module_name.get())) {
            full_name = OwnedRef::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        }
        if (full_name) {
            OwnedRef entry = modules_entry(full_name.get());
            if (entry) return entry;
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// `from <written> import names` at `level` (1: relative to the package).
// The module is taken from sys.modules[fast_key] when it has every name.
int from_import(PyObject* fast_key, PyObject* written, int level, const ImportedName* wanted, int count, int line) {
    // Held strongly: the attribute tests run the entry's own code, which may
    // replace the entry in sys.modules and so drop its last other reference.
    OwnedRef module = modules_entry(fast_key);
    if (!module && PyErr_Occurred()) return line;
    if (module && !has_all(module.get(), wanted, count)) module.reset();
    if (!module) {
        OwnedRef from_list = OwnedRef::steal(PyList_New(count));
        if (!from_list) return line;
        for (int i = 0; i < count; ++i) PyList_SET_ITEM(from_list.get(), i, Py_NewRef(*wanted[i].name));
        OwnedRef locals = OwnedRef::steal(PyDict_New());
        if (!locals) return line;
        module = OwnedRef::steal(
            PyImport_ImportModuleLevelObject(written, state.namespace_dict, locals.get(), from_list.get(), level));
        if (!module) return line;
    }
    for (int i = 0; i < count; ++i) {
        OwnedRef value = fetch_name(module.get(), *wanted[i].name);
        if (!value) return line;
        PyObject* target = wanted[i].bind_as ? *wanted[i].bind_as : *wanted[i].name;
        if (bind(target, value.get()) < 0) return line;
    }
    return 0;
}

// Strategy framework, in three fallback tiers ******************************

const ImportedName framework_names[] = {
    {&names.BaseStrategy, nullptr},
    {&names.BollingerMeanReversionStrategy, nullptr},
    {&names.DualSMAMomentumStrategy, nullptr},
    {&names.MACDCrossoverStrategy, nullptr},
    {&names.RSIMomentumStrategy, nullptr},
    {&names.SMAMomentumStrategy, nullptr},
    {&names.VWAPReversionStrategy, nullptr},
};
const ImportedName internal_base_name[] = {{&names.BaseStrategy, &names.InternalBaseStrategy}};

// Tier 1: the framework inside this package.
int tier_package() {
    if (int line = from_import(names.mod_pkg_trader_core_strategies, names.mod_trader_core_strategies, 1,
                               framework_names, 7, 19)) {
        return line;
    }
    return from_import(names.mod_pkg_trader_core_strategies_base, names.mod_trader_core_strategies_base, 1,
                       internal_base_name, 1, 28);
}

// Tier 2: a top-level trader_core on sys.path.
int tier_top_level() {
    if (int line = from_import(names.mod_trader_core_strategies, names.mod_trader_core_strategies, 0,
                               framework_names, 7, 32)) {
        return line;
    }
    return from_import(names.mod_trader_core_strategies_base, names.mod_trader_core_strategies_base, 0,
                       internal_base_name, 1, 41);
}

// Tier 3: a top-level trader_core beside the package directory.
int tier_beside_package() {
    if (int line = import_statement(names.os, names.os, 44)) return line;

    // parent_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    {
        OwnedRef os = resolve_global(names.os);
        if (!os) return 45;
        OwnedRef os_path = OwnedRef::steal(PyObject_GetAttr(os.get(), names.path));
        if (!os_path) return 45;
        OwnedRef file = resolve_global(names.dunder_file);
        if (!file) return 45;
        OwnedRef absolute = OwnedRef::steal(PyObject_CallMethodOneArg(os_path.get(), names.abspath, file.get()));
        if (!absolute) return 45;
        OwnedRef package_dir = OwnedRef::steal(PyObject_CallMethodOneArg(os_path.get(), names.dirname, absolute.get()));
        if (!package_dir) return 45;
        OwnedRef parent_dir = OwnedRef::steal(PyObject_CallMethodOneArg(os_path.get(), names.dirname, package_dir.get()));
        if (!parent_dir) return 45;
        if (bind(names.parent_dir, parent_dir.get()) < 0) return 45;
    }

    // if parent_dir not in sys.path: sys.path.insert(0, parent_dir)
    {
        OwnedRef sys = resolve_global(names.sys);
        if (!sys) return 46;
        OwnedRef sys_path = OwnedRef::steal(PyObject_GetAttr(sys.get(), names.path));
        if (!sys_path) return 46;
        OwnedRef parent_dir = resolve_global(names.parent_dir);
        if (!parent_dir) return 46;
        int present = PySequence_Contains(sys_path.get(), parent_dir.get());
        if (present < 0) return 46;
        if (!present) {
            sys = resolve_global(names.sys);
            if (!sys) return 47;
            sys_path = OwnedRef::steal(PyObject_GetAttr(sys.get(), names.path));
            if (!sys_path) return 47;
            parent_dir = resolve_global(names.parent_dir);
            if (!parent_dir) return 47;
            PyObject* args[] = {sys_path.get(), names.zero, parent_dir.get()};
            OwnedRef inserted = OwnedRef::steal(
                PyObject_VectorcallMethod(names.insert, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!inserted) return 47;
        }
    }

    if (int line = from_import(names.mod_trader_core_strategies, names.mod_trader_core_strategies, 0,
                               framework_names + 1, 6, 48)) {
        return line;
    }
    return from_import(names.mod_trader_core_strategies_base, names.mod_trader_core_strategies_base, 0,
                       internal_base_name, 1, 56);
}

// Runs `tier` as the handler of `handled`, which becomes the exception being
// handled (seen by sys.exc_info() and chained as the implicit context of
// whatever the tier raises). Returns 0 or the tier's failing line.
int run_handler(PyObject* handled, int (*tier)()) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(handled);
    int line = tier();
    if (line) {
        PyObject* raised = PyErr_GetRaisedException();
        if (raised != handled) {
            PyObject* context = PyException_GetContext(raised);
            if (!context) PyException_SetContext(raised, Py_NewRef(handled));
            Py_XDECREF(context);
        }
        PyErr_SetHandledException(previous);
        PyErr_SetRaisedException(raised);
    } else {
        PyErr_SetHandledException(previous);
    }
    Py_XDECREF(previous);
    return line;
}

// try: tier 1 / except ImportError: (try: tier 2 / except ImportError: tier 3)
int import_framework() {
    int (*const tiers[])() = {tier_package, tier_top_level, tier_beside_package};
    OwnedRef handled;
    for (int (*tier)() : tiers) {
        int line = handled ? run_handler(handled.get(), tier) : tier();
        if (!line) return 0;
        if (tier == tier_beside_package || !PyErr_ExceptionMatches(PyExc_ImportError)) return line;
        add_traceback_entry(tb_module_handler, line);
        handled = OwnedRef::steal(PyErr_GetRaisedException());
    }
    return 0;
}

// BUILTIN_STRATEGIES *******************************************************

int build_registry() {
    struct Entry {
        PyObject** key;
        PyObject** class_name;
        int line;
    };
    const Entry entries[] = {
        {&names.key_sma_momentum, &names.SMAMomentumStrategy, 63},
        {&names.key_dual_sma_momentum, &names.DualSMAMomentumStrategy, 64},
        {&names.key_rsi_momentum, &names.RSIMomentumStrategy, 65},
        {&names.key_macd_crossover, &names.MACDCrossoverStrategy, 66},
        {&names.key_bollinger_mean_reversion, &names.BollingerMeanReversionStrategy, 67},
        {&names.key_vwap_reversion, &names.VWAPReversionStrategy, 68},
    };
    OwnedRef registry = OwnedRef::steal(PyDict_New());
    if (!registry) return 62;
    for (const Entry& entry : entries) {
        OwnedRef cls = resolve_global(*entry.class_name);
        if (!cls) return entry.line;
        if (PyDict_SetItem(registry.get(), *entry.key, cls.get()) < 0) return entry.line;
    }
    return bind(names.BUILTIN_STRATEGIES, registry.get()) < 0 ? 62 : 0;
}

// Function definitions ****************************************************

struct Annotation {
    PyObject** parameter;
    PyObject** text;
};

int define_function(const FunctionDef* def, PyObject* name, PyObject* code, PyObject* defaults,
                    std::initializer_list<Annotation> annotations) {
    const int line = def->definition_line;
    OwnedRef annotation_dict = OwnedRef::steal(PyDict_New());
    if (!annotation_dict) return line;
    for (const Annotation& annotation : annotations) {
        if (PyDict_SetItem(annotation_dict.get(), *annotation.parameter, *annotation.text) < 0) return line;
    }
    OwnedRef function = new_function(def, name, names.mod_self, state.namespace_dict, code);
    if (!function) return line;
    set_function_defaults(function.get(), defaults);
    set_function_annotations(function.get(), annotation_dict.get());
    return bind(name, function.get()) < 0 ? line : 0;
}

int define_functions() {
    if (int line = define_function(&load_strategy_def, names.load_strategy, state.code_load_strategy,
                                   names.none_tuple1,
                                   {{&names.strategy_spec, &names.annotation_spec_union},
                                    {&names.symbols, &names.annotation_symbols},
                                    {&names.kwargs, &names.annotation_any},
                                    {&names.return_, &names.annotation_result}})) {
        return line;
    }
    if (int line = define_function(&load_strategy_from_file_def, names.load_strategy_from_file,
                                   state.code_load_strategy_from_file, names.none_tuple2,
                                   {{&names.file_path, &names.annotation_path},
                                    {&names.symbols, &names.annotation_symbols},
                                    {&names.class_name, &names.annotation_optional_str},
                                    {&names.kwargs, &names.annotation_any},
                                    {&names.return_, &names.annotation_result}})) {
        return line;
    }
    if (int line = define_function(&load_strategy_from_module_def, names.load_strategy_from_module,
                                   state.code_load_strategy_from_module, names.none_tuple1,
                                   {{&names.module_path, &names.annotation_str},
                                    {&names.symbols, &names.annotation_symbols},
                                    {&names.kwargs, &names.annotation_any},
                                    {&names.return_, &names.annotation_result}})) {
        return line;
    }
    if (int line = define_function(&register_strategy_def, names.register_strategy, state.code_register_strategy,
                                   nullptr,
                                   {{&names.name, &names.annotation_str},
                                    {&names.strategy_class, &names.annotation_type},
                                    {&names.return_, &names.annotation_none}})) {
        return line;
    }
    return define_function(&list_strategies_def, names.list_strategies, state.code_list_strategies, nullptr,
                           {{&names.return_, &names.annotation_list_str}});
}

int bind_all() {
    PyObject* exported[] = {names.load_strategy,           names.load_strategy_from_file,
                            names.load_strategy_from_module, names.register_strategy,
                            names.list_strategies,          names.BUILTIN_STRATEGIES};
    OwnedRef all = OwnedRef::steal(PyList_New(6));
    if (!all) return 254;
    for (int i = 0; i < 6; ++i) PyList_SET_ITEM(all.get(), i, Py_NewRef(exported[i]));
    return bind(names.dunder_all, all.get()) < 0 ? 254 : 0;
}

int bind_test() {
    OwnedRef test = OwnedRef::steal(PyDict_New());
    if (!test) return 1;
    return bind(names.dunder_test, test.get()) < 0 ? 1 : 0;
}

const ImportedName typing_names[] = {
    {&names.Any, nullptr}, {&names.Dict, nullptr}, {&names.List, nullptr}, {&names.Optional, nullptr},
    {&names.Union, nullptr},
};
const ImportedName path_name[] = {{&names.Path, nullptr}};
const ImportedName strategy_name[] = {{&names.Strategy, nullptr}};

int body_statements() {
    if (int line = import_statement(names.mod_importlib_util, names.importlib, 12)) return line;
    if (int line = import_statement(names.sys, names.sys, 13)) return line;
    if (int line = from_import(names.mod_pathlib, names.mod_pathlib, 0, path_name, 1, 14)) return line;
    if (int line = from_import(names.mod_typing, names.mod_typing, 0, typing_names, 5, 15)) return line;
    if (int line = import_framework()) return line;
    if (int line = from_import(names.mod_pkg_strategy, names.mod_strategy, 1, strategy_name, 1, 58)) return line;
    if (int line = build_registry()) return line;
    if (int line = define_functions()) return line;
    if (int line = bind_all()) return line;
    return bind_test();
}

}  // namespace

int run_module_body() {
    if (int line = body_statements()) {
        add_traceback_entry(tb_module_init, line);
        return -1;
    }
    return 0;
}

}  // namespace strategy_loader
