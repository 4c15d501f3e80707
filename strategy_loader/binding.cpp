#include "binding.hpp"

#include "names.hpp"
#include "traceback_entries.hpp"

#include <cstring>

namespace strategy_loader {

// Messages ****************************************************************

namespace {

constexpr const char subclass_note[] =
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False.";

PyObject* binding_failed(const FunctionDef* def) {
    return fail_at(def->traceback_name, def->definition_line);
}

PyObject* count_error(const FunctionDef* def, Py_ssize_t given, bool too_many) {
    Py_ssize_t expected;
    const char* quantity;
    if (def->required == def->positional) {
        quantity = "exactly";
        expected = def->required;
    } else if (too_many) {
        quantity = "at most";
        expected = def->positional;
    } else {
        quantity = "at least";
        expected = def->required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def->name(),
                 quantity, expected, expected == 1 ? "" : "s", given);
    return binding_failed(def);
}

PyObject* multiple_values_error(const FunctionDef* def, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def->name(), keyword);
    return binding_failed(def);
}

PyObject* unexpected_keyword_error(const FunctionDef* def, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name(), keyword);
    return binding_failed(def);
}

PyObject* keyword_type_error(const FunctionDef* def) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def->name());
    return binding_failed(def);
}

void exact_type_error(PyObject* parameter, PyTypeObject* expected, PyObject* value) {
    const char* parameter_text = PyUnicode_AsUTF8(parameter);
    if (!parameter_text) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter_text, expected->tp_name, Py_TYPE(value)->tp_name);
    if (!PyType_IsSubtype(Py_TYPE(value), expected)) return;
    // A subclass instance is refused too; say why and how to allow it.
    PyObject* raised = PyErr_GetRaisedException();
    OwnedRef note = OwnedRef::steal(PyUnicode_FromString(subclass_note));
    if (!note) {
        Py_DECREF(raised);
        return;
    }
    OwnedRef result = OwnedRef::steal(PyObject_CallMethodOneArg(raised, names.add_note, note.get()));
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

// Keyword matching ********************************************************
//
// Names are matched by identity first (callers normally pass the interned
// constants themselves), then by value: for an exact str the cached hash,
// length and character width are compared before the contents.

bool exact_str_equal(PyObject* keyword, PyObject* parameter) {
    if (PyObject_Hash(keyword) != PyObject_Hash(parameter)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
    if (length != PyUnicode_GET_LENGTH(parameter)) return false;
    int kind = PyUnicode_KIND(keyword);
    if (kind != static_cast<int>(PyUnicode_KIND(parameter))) return false;
    return std::memcmp(PyUnicode_DATA(keyword), PyUnicode_DATA(parameter), static_cast<size_t>(length) * kind) == 0;
}

// Index in [first, last) of the parameter equal to `keyword`, -1 for none,
// -2 on error.
int find_by_value(const FunctionDef* def, PyObject* keyword, bool exact, int first, int last) {
    for (int i = first; i < last; ++i) {
        PyObject* parameter = *def->parameter_names[i];
        if (exact) {
            if (exact_str_equal(keyword, parameter)) return i;
        } else {
            int equal = PyObject_RichCompareBool(keyword, parameter, Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
    }
    return -1;
}

}  // namespace

// Entries *****************************************************************

namespace {

// Inlined into both entries: the vectorcall entry is every ordinary call's
// path and should not pay for a second call.
[[gnu::always_inline]] inline PyObject* bind_and_run(const FunctionDef* def, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    const int positional = def->positional;

    // The extra-keywords dict is made when the first extra keyword arrives;
    // a call without any hands the operation none (null), which every
    // operation treats as empty.
    OwnedRef kwargs;
    const bool collects = def->kind == CallKind::parameters_with_extra_keywords;

    // Borrowed: the caller keeps the argument array alive during the call.
    PyObject* values[max_parameters] = {};
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (keyword_count > 0) {
        if (nargs > positional) return count_error(def, nargs, true);
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
        const int bound = static_cast<int>(nargs);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            int index = -1;
            for (int i = bound; i < positional; ++i) {
                if (*def->parameter_names[i] == keyword) {
                    index = i;
                    break;
                }
            }
            // Parameter names are interned, so an interned keyword that is none
            // of them by identity equals none of them.
            const bool interned = PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword);
            if (index < 0 && interned) {
                for (int i = 0; i < bound; ++i) {
                    if (*def->parameter_names[i] == keyword) return multiple_values_error(def, keyword);
                }
            } else if (index < 0) {
                bool exact = PyUnicode_CheckExact(keyword);
                if (!exact && !PyUnicode_Check(keyword)) return keyword_type_error(def);
                index = find_by_value(def, keyword, exact, bound, positional);
                if (index == -2) return binding_failed(def);
                if (index < 0) {
                    int repeated = find_by_value(def, keyword, exact, 0, bound);
                    if (repeated == -2) return binding_failed(def);
                    if (repeated >= 0) return multiple_values_error(def, keyword);
                }
            }
            if (index >= 0) {
                // A name given twice in one call is refused like a repeat of
                // a positional argument rather than silently overwritten.
                if (values[index]) return multiple_values_error(def, keyword);
                values[index] = value;
            } else if (collects) {
                if (!kwargs) {
                    kwargs = OwnedRef::steal(PyDict_New());
                    if (!kwargs) return nullptr;
                }
                if (PyDict_SetItem(kwargs.get(), keyword, value) < 0) return binding_failed(def);
            } else {
                return unexpected_keyword_error(def, keyword);
            }
        }
        for (int i = bound; i < def->required; ++i) {
            if (!values[i]) return count_error(def, i, false);
        }
        for (int i = def->required; i < positional; ++i) {
            if (!values[i]) values[i] = Py_None;
        }
    } else {
        if (nargs < def->required) return count_error(def, nargs, false);
        if (nargs > positional) return count_error(def, nargs, true);
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
        for (int i = static_cast<int>(nargs); i < positional; ++i) values[i] = Py_None;
    }

    for (int t = 0; t < def->test_count; ++t) {
        const ExactTypeTest& test = def->tests[t];
        PyObject* value = values[test.index];
        if (Py_IS_TYPE(value, test.type)) continue;
        if (test.none_allowed && value == Py_None) continue;
        exact_type_error(*def->parameter_names[test.index], test.type, value);
        return nullptr;
    }

    return run_operation(def, values, kwargs.get());
}

}  // namespace

PyObject* vectorcall_with_parameters(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return bind_and_run(reinterpret_cast<FunctionObject*>(callable)->def, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* call_with_parameters(const FunctionDef* def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_and_run(def, args, nargs, kwnames);
}

PyObject* run_operation(const FunctionDef* def, PyObject* const* values, PyObject* kwargs) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = def->operation(values, kwargs);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* vectorcall_no_arguments(PyObject* callable, PyObject* const* /*args*/, size_t nargsf, PyObject* kwnames) {
    return call_without_arguments(reinterpret_cast<FunctionObject*>(callable)->def, PyVectorcall_NARGS(nargsf),
                                  kwnames);
}

PyObject* call_without_arguments(const FunctionDef* def, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", def->name(), "takes no keyword arguments");
        return nullptr;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def->name(), "takes no arguments", nargs);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = def->no_arguments_operation();
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace strategy_loader
