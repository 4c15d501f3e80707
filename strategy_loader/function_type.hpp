// The module's own function type. Its instances look like Python functions
// to introspection (`inspect.signature` reads `__code__`, `__defaults__`,
// `__kwdefaults__` and `__annotations__`) and bind their arguments with the
// fixed rules and messages of binding.hpp.
//
// The type derives from the interpreter's builtin-function type, because
// profilers (cProfile, profile and the sampling ones) and pydoc recognise C
// functions by that type alone: a call of one of ours is then reported as a
// call of a C function named after its method definition. The interpreter
// forbids subclassing that type from a type spec, so ours is a static type
// made ready at run time (filled afresh for every interpreter that owns the
// module state).
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

// Static description of one exported function: its method definition (the
// name, an entry of its own, the flags of its call kind and the docstring),
// plus what the generic binding needs.
struct FunctionDef {
    PyMethodDef method;
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

    const char* name() const { return method.ml_name; }
};

// The builtin-function part comes first: m_ml points at the definition's
// method, m_self is null (a plain function), m_module holds `__module__`,
// and the vectorcall entry is the one of the call kind.
struct FunctionObject {
    PyCFunctionObject base;
    const FunctionDef* def;
    PyObject* dict;
    PyObject* name;        // lazily made from the method name
    PyObject* qualname;
    PyObject* doc;         // lazily made from the method docstring; may be replaced
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    bool doc_made;
};

// Makes the function type ready once per owning interpreter. -1 on error.
int create_function_type();
// Forgets the type of an interpreter that is gone without touching it; the
// next create_function_type fills it afresh.
void forget_function_type();

// A new function object for `def`.
OwnedRef new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name,
                      PyObject* globals, PyObject* code);

// Attaches the defaults tuple (or null) and the annotations dict.
void set_function_defaults(PyObject* function, PyObject* defaults);
void set_function_annotations(PyObject* function, PyObject* annotations);

}  // namespace strategy_loader
