// Argument binding: one generic routine driven by each function's static
// FunctionDef. Binding errors carry a traceback entry at the function's
// definition line; exact-type test failures carry none.
#pragma once

#include "function_type.hpp"

namespace strategy_loader {

// Vectorcall entries of the three call kinds (the two parameter kinds
// share one).
PyObject* vectorcall_with_parameters(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* vectorcall_no_arguments(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The same calls for a known definition: what the entries above and the
// method entries below run.
PyObject* call_with_parameters(const FunctionDef* def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* call_without_arguments(const FunctionDef* def, Py_ssize_t nargs, PyObject* kwnames);

// The C function of each method definition, for whoever calls a builtin
// function through its method definition rather than its vectorcall entry;
// it has no function object to read the definition from, so each function
// gets an entry of its own.
template <const FunctionDef& def>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_parameters(&def, args, nargs, kwnames);
}

template <const FunctionDef& def>
PyObject* no_arguments_entry(PyObject*, PyObject*) {
    return call_without_arguments(&def, 0, nullptr);
}

// A C function of another signature as the method definition stores it;
// its flags tell the interpreter the real signature.
template <typename Function>
PyCFunction as_method_function(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Runs the operation of `def` on already bound values under the
// interpreter's recursion guard: the module's functions call each other (and
// user code that calls them back) in C, where unbounded recursion would
// overflow the C stack instead of raising RecursionError.
PyObject* run_operation(const FunctionDef* def, PyObject* const* values, PyObject* kwargs);

}  // namespace strategy_loader
