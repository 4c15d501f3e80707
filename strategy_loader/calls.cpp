#include "calls.hpp"

#include "names.hpp"

#include <cstdint>

namespace strategy_loader {

OwnedRef call_object(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords) {
    if (PyVectorcall_Function(callable)) {
        return OwnedRef::steal(PyObject_VectorcallDict(callable, args, nargs, keywords));
    }
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) {
        // Let the interpreter word the "object is not callable" error.
        return OwnedRef::steal(PyObject_VectorcallDict(callable, args, nargs, keywords));
    }
    OwnedRef arg_tuple;
    if (nargs == 0) {
        arg_tuple = OwnedRef::borrow(names.empty_tuple);
    } else {
        arg_tuple = OwnedRef::steal(PyTuple_New(nargs));
        if (!arg_tuple) return {};
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(arg_tuple.get(), i, Py_NewRef(args[i]));
        }
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
    PyObject* result = call(callable, arg_tuple.get(), keywords);
    Py_LeaveRecursiveCall();
    return checked_result(callable, result);
}

// The interpreter's check of what a call slot returned: a result must come
// without an exception and a failure with one. A callee that breaks this
// would otherwise hand its caller a value to use while an exception is
// pending, or a failure with nothing to report.
OwnedRef checked_result(PyObject* callable, PyObject* result) {
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
        return {};
    }
    if (!PyErr_Occurred()) return OwnedRef::steal(result);
    Py_DECREF(result);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", callable);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, Py_NewRef(cause));
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return {};
}

OwnedRef call_method0(PyObject* obj, PyObject* name) {
    return OwnedRef::steal(PyObject_CallMethodNoArgs(obj, name));
}

OwnedRef call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return OwnedRef::steal(PyObject_CallMethodOneArg(obj, name, arg));
}

// Lower-cased forms of recently seen short exact strs. Research loops pass
// the same specification object again and again; a hit saves making the
// new string and hashing it for the registry look-ups. Entries hold their
// key, so its address cannot be reused while it is cached.
namespace {

struct LoweredText {
    PyObject* text;
    PyObject* lowered;
};

constexpr Py_ssize_t lower_cache_max_length = 64;
LoweredText lower_cache[8];

}  // namespace

void forget_lowered_texts() {
    for (LoweredText& entry : lower_cache) entry = LoweredText{};
}

OwnedRef lower_text(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return call_method0(text, names.lower);
    const bool cacheable = PyUnicode_GET_LENGTH(text) <= lower_cache_max_length;
    LoweredText& entry = lower_cache[(reinterpret_cast<uintptr_t>(text) >> 4) & 7];
    if (cacheable && entry.text == text) return OwnedRef::borrow(entry.lowered);
    OwnedRef lowered = OwnedRef::steal(PyObject_Vectorcall(names.str_lower, &text, 1, nullptr));
    if (lowered && cacheable) {
        Py_XSETREF(entry.text, Py_NewRef(text));
        Py_XSETREF(entry.lowered, Py_NewRef(lowered.get()));
    }
    return lowered;
}

OwnedRef keywords_with_first(PyObject* first_name, PyObject* first_value, PyObject* rest) {
    OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!keywords) return {};
    if (PyDict_SetItem(keywords.get(), first_name, first_value) < 0) return {};
    if (rest && PyDict_Merge(keywords.get(), rest, 1) < 0) return {};
    return keywords;
}

OwnedRef symbols_for_constructor(PyObject* symbols) {
    if (symbols != Py_None && PyList_GET_SIZE(symbols) > 0) return OwnedRef::borrow(symbols);
    return OwnedRef::steal(PyList_New(0));
}

OwnedRef construct_with_symbols(PyObject* cls, PyObject* symbols, PyObject* kwargs) {
    OwnedRef symbols_value = symbols_for_constructor(symbols);
    if (!symbols_value) return {};
    OwnedRef keywords = keywords_with_first(names.symbols, symbols_value.get(), kwargs);
    if (!keywords) return {};
    return call_keywords(cls, keywords.get());
}

OwnedRef listed_keys(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return OwnedRef::steal(PyDict_Keys(mapping));
    OwnedRef keys = call_method0(mapping, names.keys);
    if (!keys) return {};
    return OwnedRef::steal(PySequence_List(keys.get()));
}

OwnedRef format_value(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return OwnedRef::borrow(value);
    return OwnedRef::steal(PyObject_Format(value, names.empty_str));
}

OwnedRef join_text(PyObject* const* pieces, size_t count) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return {};
    for (size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(pieces[i]));
    return OwnedRef::steal(PyUnicode_Join(names.empty_str, tuple.get()));
}

}  // namespace strategy_loader
