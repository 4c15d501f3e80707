// Calls that the operations make into other Python objects, and the small
// text helpers their messages need.
#pragma once

#include "owned_ref.hpp"

#include <initializer_list>

namespace strategy_loader {

// callable(*args, **keywords); `keywords` may be null. Vectorcall where the
// callee supports it, else its call slot under the recursion guard.
OwnedRef call_object(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords);

// What a call slot returned, checked as the interpreter checks it: null
// without an exception becomes SystemError, and so does a result returned
// with an exception set (chained from that exception).
OwnedRef checked_result(PyObject* callable, PyObject* result);

inline OwnedRef call_keywords(PyObject* callable, PyObject* keywords) {
    return call_object(callable, nullptr, 0, keywords);
}

// obj.name() and obj.name(arg), looked up as ordinary attributes.
OwnedRef call_method0(PyObject* obj, PyObject* name);
OwnedRef call_method1(PyObject* obj, PyObject* name, PyObject* arg);

// text.lower(). For an exact str the method cannot be overridden, so it is
// called directly instead of being looked up on every call.
OwnedRef lower_text(PyObject* text);

// Forgets the cached lower-case forms of an interpreter that is gone.
void forget_lowered_texts();

// A new keyword dict: {first_name: first_value, **rest}, in that order.
OwnedRef keywords_with_first(PyObject* first_name, PyObject* first_value, PyObject* rest);

// The value the strategy constructors receive as `symbols`: the caller's
// list itself when it is non-empty, else a new empty list. `symbols` is
// None or an exact list (the binding has tested it).
OwnedRef symbols_for_constructor(PyObject* symbols);

// cls(symbols=..., **kwargs): how every Strategy subclass is constructed,
// with the caller's list when it is non-empty and a new empty one otherwise.
OwnedRef construct_with_symbols(PyObject* cls, PyObject* symbols, PyObject* kwargs);

// list(mapping.keys()), taken directly from an exact dict, whose keys()
// cannot be overridden.
OwnedRef listed_keys(PyObject* mapping);

// format(value, '')
OwnedRef format_value(PyObject* value);

// Concatenation of str pieces.
OwnedRef join_text(PyObject* const* pieces, size_t count);
inline OwnedRef join_text(std::initializer_list<PyObject*> pieces) { return join_text(pieces.begin(), pieces.size()); }

}  // namespace strategy_loader
