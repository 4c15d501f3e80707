#include "function_type.hpp"

#include "binding.hpp"
#include "module_state.hpp"

#include <cstddef>

namespace strategy_loader {

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Lifetime ****************************************************************

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

// A weakref callback or a finalizer can revive a function after the
// collector cleared it, so a cleared function must stay usable: like the
// interpreter's own functions it is left with empty names, and every other
// attribute reads as None (or its empty default).
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->base.m_module);
    Py_CLEAR(f->dict);
    Py_XSETREF(f->name, PyUnicode_New(0, 0));  // the empty singleton: cannot fail
    Py_XSETREF(f->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(f->doc);
    f->doc_made = true;
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->base.m_weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    Py_TYPE(self)->tp_free(self);
}

PyObject* none_if_null(PyObject* obj) { return Py_NewRef(obj ? obj : Py_None); }

// Attributes **************************************************************

PyObject* get_name(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->name) {
        f->name = PyUnicode_InternFromString(f->def->name());
        if (!f->name) return nullptr;
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return none_if_null(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->doc_made) {
        if (f->def->method.ml_doc) {
            f->doc = PyUnicode_FromString(f->def->method.ml_doc);
            if (!f->doc) return nullptr;
        } else {
            f->doc = Py_NewRef(Py_None);
        }
        f->doc_made = true;
    }
    return none_if_null(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    Py_XSETREF(f->doc, Py_NewRef(value ? value : Py_None));
    f->doc_made = true;
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return none_if_null(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return none_if_null(as_function(self)->code); }
PyObject* get_defaults(PyObject* self, void*) { return none_if_null(as_function(self)->defaults); }

// Binding takes its defaults from the FunctionDef, so a write is kept for
// introspection only, and the caller is told so.
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to cyfunction.__defaults__ will not currently affect the values used in function calls",
                     1) < 0) {
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return none_if_null(as_function(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to cyfunction.__kwdefaults__ will not currently affect the values used in function calls",
                     1) < 0) {
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// Kept where profilers read a builtin function's module name.
PyObject* get_module(PyObject* self, void*) { return none_if_null(as_function(self)->base.m_module); }

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->base.m_module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(PyCFunctionObject, m_weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyCFunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickles as a reference to the module attribute of that name.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    OwnedRef qualname = OwnedRef::steal(get_qualname(self, nullptr));
    return PyUnicode_FromFormat("<cyfunction %S at %p>", qualname.get(), self);
}

// Like a Python function: bound to an instance, itself through the class.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// The type's storage. Every owning interpreter fills it afresh: what the
// previous one left in it (its dict, MRO, subclass links) died with it.
PyTypeObject function_type;

void fill_function_type() {
    function_type = PyTypeObject{};
    function_type.ob_base.ob_base.ob_refcnt = _Py_IMMORTAL_REFCNT;
    Py_SET_TYPE(&function_type, &PyType_Type);
    // A static type's __module__ is the part of its name before the last dot.
    function_type.tp_name = "quorvane.strategy_loader.strategy_loader_function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_base = &PyCFunction_Type;
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_free = PyObject_GC_Del;
    function_type.tp_repr = function_repr;
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_weaklistoffset = offsetof(PyCFunctionObject, m_weakreflist);
    // The base compares and hashes by (self, C function); ours are distinct
    // objects that must stay unequal and usable as distinct keys.
    function_type.tp_richcompare = PyBaseObject_Type.tp_richcompare;
    function_type.tp_hash = PyBaseObject_Type.tp_hash;
    function_type.tp_getset = function_getset;
    function_type.tp_members = function_members;
    function_type.tp_methods = function_methods;
}

}  // namespace

int create_function_type() {
    if (state.function_type) return 0;
    fill_function_type();
    if (PyType_Ready(&function_type) < 0) return -1;
    state.function_type = reinterpret_cast<PyObject*>(&function_type);
    return 0;
}

void forget_function_type() { state.function_type = nullptr; }

OwnedRef new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name, PyObject* globals,
                      PyObject* code) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) return {};
    // The interpreter never writes through m_ml.
    f->base.m_ml = const_cast<PyMethodDef*>(&def->method);
    f->base.m_self = nullptr;
    f->base.m_module = Py_NewRef(module_name);
    f->base.m_weakreflist = nullptr;
    f->base.vectorcall = def->kind == CallKind::no_arguments ? vectorcall_no_arguments : vectorcall_with_parameters;
    f->def = def;
    f->dict = nullptr;
    f->name = nullptr;
    f->qualname = Py_NewRef(qualname);
    f->doc = nullptr;
    f->globals = Py_NewRef(globals);
    f->code = Py_XNewRef(code);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->doc_made = false;
    PyObject_GC_Track(f);
    return OwnedRef::steal(reinterpret_cast<PyObject*>(f));
}

void set_function_defaults(PyObject* function, PyObject* defaults) {
    Py_XSETREF(as_function(function)->defaults, Py_XNewRef(defaults));
}

void set_function_annotations(PyObject* function, PyObject* annotations) {
    Py_XSETREF(as_function(function)->annotations, Py_XNewRef(annotations));
}

}  // namespace strategy_loader
