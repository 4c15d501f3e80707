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

// Runs the operation of `def` on already bound values under the
// interpreter's recursion guard: the module's functions call each other (and
// user code that calls them back) in C, where unbounded recursion would
// overflow the C stack instead of raising RecursionError.
PyObject* run_operation(const FunctionDef* def, PyObject* const* values, PyObject* kwargs);

}  // namespace strategy_loader
