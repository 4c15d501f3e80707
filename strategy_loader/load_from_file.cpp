// load_strategy_from_file: execute a Python source file as the module
// "strategy_module", pick its strategy class and instantiate it.

#include "binding.hpp"
#include "calls.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

namespace strategy_loader {

namespace {

constexpr const char load_strategy_from_file_doc[] =
    "\n    Load strategy from a Python file.\n    \n    Args:\n        file_path: Path to Python file\n"
    "        symbols: List of symbols (for Strategy class)\n"
    "        class_name: Name of strategy class (if None, auto-detect)\n"
    "        **kwargs: Additional arguments for strategy instantiation\n    \n    Returns:\n"
    "        Strategy instance\n    ";

PyObject* fail(int line) { return fail_at(tb_load_strategy_from_file, line); }

// Raises `type` with the concatenation of `pieces`, where a null piece
// stands for the text of `path`; the message is built at `build_line` and
// raised at `raise_line`. The path is formatted only when a message needs it.
PyObject* raise_with_path(PyObject* type, std::initializer_list<PyObject*> pieces, PyObject* path, int build_line,
                          int raise_line) {
    OwnedRef path_text = format_value(path);
    if (!path_text) return fail(build_line);
    PyObject* filled[4] = {};
    size_t count = 0;
    for (PyObject* piece : pieces) filled[count++] = piece ? piece : path_text.get();
    OwnedRef message = join_text(filled, count);
    if (!message) return fail(build_line);
    PyErr_SetObject(type, message.get());
    return fail(raise_line);
}

// importlib.util.<function>, resolved anew.
OwnedRef importlib_util_function(PyObject* function) {
    OwnedRef importlib = resolve_global(names.importlib);
    if (!importlib) return {};
    OwnedRef util = OwnedRef::steal(PyObject_GetAttr(importlib.get(), names.util));
    if (!util) return {};
    return OwnedRef::steal(PyObject_GetAttr(util.get(), function));
}

// The class named `class_name` in `module`, or null with the error raised.
OwnedRef named_class(PyObject* module, PyObject* class_name, PyObject* path) {
    // hasattr: only an AttributeError means absence.
    OwnedRef probe = OwnedRef::steal(PyObject_GetAttr(module, class_name));
    if (!probe) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            fail(169);
            return {};
        }
        PyErr_Clear();
        raise_with_path(PyExc_ValueError, {names.msg_class_open, class_name, names.msg_class_not_found_in, nullptr},
                        path, 170, 170);
        return {};
    }
    probe.reset();
    OwnedRef found = OwnedRef::steal(PyObject_GetAttr(module, class_name));
    if (!found) fail(171);
    return found;
}

// Is `obj` a strategy class other than the two bases? 1, 0, -1 (entry added).
int is_strategy_class(PyObject* obj) {
    int is_class = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyType_Type));
    if (is_class < 0) return fail(177), -1;
    if (!is_class) return 0;

    OwnedRef strategy = resolve_global(names.Strategy);
    if (!strategy) return fail(178), -1;
    int derives = PyObject_IsSubclass(obj, strategy.get());
    if (derives < 0) return fail(178), -1;
    OwnedRef internal_base;
    if (!derives) {
        internal_base = resolve_global(names.InternalBaseStrategy);
        if (!internal_base) return fail(178), -1;
        derives = PyObject_IsSubclass(obj, internal_base.get());
        if (derives < 0) return fail(178), -1;
        if (!derives) return 0;
    }

    for (PyObject* base_name : {names.Strategy, names.InternalBaseStrategy}) {
        OwnedRef base = resolve_global(base_name);
        if (!base) return fail(179), -1;
        OwnedRef differs = OwnedRef::steal(PyObject_RichCompare(obj, base.get(), Py_NE));
        if (!differs) return fail(179), -1;
        int truth = PyObject_IsTrue(differs.get());
        if (truth < 0) return fail(179), -1;
        if (!truth) return 0;
    }
    return 1;
}

// The single strategy class among the module's attributes, in dir() order.
OwnedRef scanned_class(PyObject* module, PyObject* path) {
    OwnedRef attribute_names = OwnedRef::steal(PyObject_Dir(module));
    if (!attribute_names) return fail(175), OwnedRef();
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(attribute_names.get()));
    if (!iterator) return fail(175), OwnedRef();

    OwnedRef strategy_class;
    while (true) {
        OwnedRef name = OwnedRef::steal(PyIter_Next(iterator.get()));
        if (!name) {
            if (PyErr_Occurred()) return fail(175), OwnedRef();
            break;
        }
        OwnedRef obj = OwnedRef::steal(PyObject_GetAttr(module, name.get()));
        if (!obj) return fail(176), OwnedRef();
        int found = is_strategy_class(obj.get());
        if (found < 0) return {};
        if (!found) continue;
        if (strategy_class) {
            raise_with_path(PyExc_ValueError, {names.msg_multiple_classes, nullptr, names.msg_specify_class_name}, path,
                            182, 181);
            return {};
        }
        strategy_class = std::move(obj);
    }
    if (!strategy_class) {
        raise_with_path(PyExc_ValueError, {names.msg_no_class, nullptr, names.msg_define_class}, path, 189, 188);
    }
    return strategy_class;
}

PyObject* load_strategy_from_file(PyObject* const* values, PyObject* kwargs) {
    PyObject* symbols = values[1];
    PyObject* class_name = values[2];  // None or exactly str

    // Resolve to an absolute path; a missing file is no error yet.
    OwnedRef path_type = resolve_global(names.Path);
    if (!path_type) return fail(153);
    OwnedRef given_path = call_object(path_type.get(), &values[0], 1, nullptr);
    if (!given_path) return fail(153);
    OwnedRef file_path = call_method0(given_path.get(), names.resolve);
    if (!file_path) return fail(153);
    given_path.reset();

    OwnedRef exists = call_method0(file_path.get(), names.exists);
    if (!exists) return fail(155);
    int present = PyObject_IsTrue(exists.get());
    if (present < 0) return fail(155);
    if (!present) {
        return raise_with_path(PyExc_FileNotFoundError, {names.msg_file_not_found, nullptr}, file_path.get(), 156, 156);
    }

    OwnedRef spec_from_file_location = importlib_util_function(names.spec_from_file_location);
    if (!spec_from_file_location) return fail(159);
    PyObject* spec_args[] = {names.strategy_module, file_path.get()};
    OwnedRef spec = call_object(spec_from_file_location.get(), spec_args, 2, nullptr);
    if (!spec) return fail(159);

    bool loadable = spec.get() != Py_None;
    if (loadable) {
        OwnedRef loader = OwnedRef::steal(PyObject_GetAttr(spec.get(), names.loader));
        if (!loader) return fail(160);
        loadable = loader.get() != Py_None;
    }
    if (!loadable) {
        return raise_with_path(PyExc_ValueError, {names.msg_could_not_load, nullptr}, file_path.get(), 161, 161);
    }

    OwnedRef module_from_spec = importlib_util_function(names.module_from_spec);
    if (!module_from_spec) return fail(163);
    PyObject* spec_arg = spec.get();
    OwnedRef module = call_object(module_from_spec.get(), &spec_arg, 1, nullptr);
    if (!module) return fail(163);

    // Registered before the file runs, so the file can import itself; the
    // entry stays whatever happens next.
    OwnedRef sys = resolve_global(names.sys);
    if (!sys) return fail(164);
    OwnedRef modules = OwnedRef::steal(PyObject_GetAttr(sys.get(), names.modules));
    if (!modules) return fail(164);
    if (PyObject_SetItem(modules.get(), names.strategy_module, module.get()) < 0) return fail(164);
    modules.reset();

    OwnedRef loader = OwnedRef::steal(PyObject_GetAttr(spec.get(), names.loader));
    if (!loader) return fail(165);
    OwnedRef executed = call_method1(loader.get(), names.exec_module, module.get());
    if (!executed) return fail(165);

    OwnedRef strategy_class;
    if (class_name != Py_None && PyUnicode_GET_LENGTH(class_name) > 0) {
        strategy_class = named_class(module.get(), class_name, file_path.get());
    } else {
        strategy_class = scanned_class(module.get(), file_path.get());
    }
    if (!strategy_class) return nullptr;

    int is_strategy = derives_from(strategy_class.get(), names.Strategy);
    if (is_strategy < 0) return fail(194);
    if (is_strategy) {
        return result_or_fail(construct_with_symbols(strategy_class.get(), symbols, kwargs), tb_load_strategy_from_file,
                              195);
    }
    return result_or_fail(call_keywords(strategy_class.get(), kwargs), tb_load_strategy_from_file, 197);
}

}  // namespace

const FunctionDef load_strategy_from_file_def = {
    .method = {"load_strategy_from_file", as_method_function(fastcall_entry<load_strategy_from_file_def>), METH_FASTCALL | METH_KEYWORDS, load_strategy_from_file_doc},
    .kind = CallKind::parameters_with_extra_keywords,
    .positional = 3,
    .required = 1,
    .parameter_names = {&names.file_path, &names.symbols, &names.class_name},
    .tests = {{1, &PyList_Type, true}, {2, &PyUnicode_Type, true}},
    .test_count = 2,
    .definition_line = 135,
    .traceback_name = tb_load_strategy_from_file,
    .operation = load_strategy_from_file,
    .no_arguments_operation = nullptr,
};

}  // namespace strategy_loader
