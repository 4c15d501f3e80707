// The module's own function type. Its instances look like Python functions
// to introspection (`inspect.signature` reads `__code__`, `__defaults__`,
// `__kwdefaults__` and `__annotations__`) and bind their arguments with the
// fixed rules and messages of binding.hpp.
#pragma once

#include "owned_ref.hpp"

namespace strategy_loader {

enum class CallKind {
    parameters_with_extra_keywords,
    parameters,
    no_arguments,
};

// Operation of a function with parameters: the bound values in parameter
// order and, for the extra-keywords kind, the fresh extra-keywords dict.
using Operation = PyObject* (*)(PyObject* const* values, PyObject* kwargs);
using NoArgumentsOperation = PyObject* (*)();

inline constexpr int max_parameters = 3;

// A parameter whose value must be of exactly one type.
struct ExactTypeTest {
    int index;
    PyTypeObject* type;
    bool none_allowed;
};

// Static description of one exported function: what the interpreter calls
// its method definition, plus what the generic binding needs.
struct FunctionDef {
    const char* name;
    const char* doc;
    CallKind kind;
    int positional;      // number of parameters, all positional-or-keyword
    int required;        // leading parameters without a default
    PyObject** parameter_names[max_parameters];  // interned constants
    ExactTypeTest tests[2];
    int test_count;
    int definition_line;         // line of binding failures' traceback entries
    const char* traceback_name;  // function name of traceback entries
    Operation operation;
    NoArgumentsOperation no_arguments_operation;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* name;        // lazily made from def->name
    PyObject* qualname;
    PyObject* doc;         // lazily made from def->doc; may be replaced
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    bool doc_made;
};

// Creates the function type once per process. -1 on error.
int create_function_type();

// A new function object for `def`.
OwnedRef new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name,
                      PyObject* globals, PyObject* code);

// Attaches the defaults tuple (or null) and the annotations dict.
void set_function_defaults(PyObject* function, PyObject* defaults);
void set_function_annotations(PyObject* function, PyObject* annotations);

}  // namespace strategy_loader
