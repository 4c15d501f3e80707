// Module definition, and the create and exec steps of its multi-phase
// initialisation. All module state is process-wide (module_state.hpp), so
// the module is made once per owning interpreter and refuses other
// interpreters while its owner lives.

#include "calls.hpp"
#include "function_type.hpp"
#include "module_body.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "namespace.hpp"
#include "operations.hpp"
#include "traceback_entries.hpp"

#include <cstdio>

#ifndef STRATEGY_LOADER_TARGET_MINOR
#define STRATEGY_LOADER_TARGET_MINOR 12
#endif

namespace strategy_loader {

ModuleState state;

namespace {

constexpr const char module_doc[] =
    "\nDynamic strategy loading utilities.\n\nSupports loading strategies from:\n"
    "- Built-in strategy names (e.g., 'sma_momentum')\n"
    "- File paths (e.g., 'user_strategies/my_strategy.py')\n- Class instances\n";

// Interpreter lifecycle ****************************************************

// Interpreter ids start again from 0 when an embedding program finalises
// the runtime and initialises a new one, so an id alone cannot tell the
// owner from a newcomer of a later runtime. A hook that runs at the end of
// every finalisation says when that happened; it leaves the hook table once
// it has run, so the next runtime's first claim arms it again.
bool runtime_finalised = false;
bool finalisation_hook_armed = false;

void note_runtime_finalised() {
    runtime_finalised = true;
    finalisation_hook_armed = false;
}

// Is the interpreter with this id still among the living? A subinterpreter
// leaves the list only at the very end of its destruction.
bool interpreter_alive(int64_t id) {
    for (PyInterpreterState* interp = PyInterpreterState_Head(); interp; interp = PyInterpreterState_Next(interp)) {
        if (PyInterpreterState_GetID(interp) == id) return true;
    }
    PyErr_Clear();  // an interpreter without an id is none of ours
    return false;
}

void abandon_module_state() {
    state = ModuleState{};
    forget_names();
    forget_function_type();
    forget_global_cache();
    forget_traceback_code_cache();
    forget_lowered_texts();
    forget_module_path_splits();
    runtime_finalised = false;
}

// Step 1 of the create step: the interpreter guard, which hands the state to
// `current` when it is unowned or its owner is gone. -1 with an exception.
int claim_module_state(PyInterpreterState* current) {
    int64_t id = PyInterpreterState_GetID(current);
    if (id == -1 && PyErr_Occurred()) return -1;
    if (state.first_interpreter_id != -1 &&
        (runtime_finalised || (id != state.first_interpreter_id && !interpreter_alive(state.first_interpreter_id)))) {
        abandon_module_state();
    }
    if (state.first_interpreter_id == -1) {
        if (!finalisation_hook_armed) {
            if (Py_AtExit(note_runtime_finalised) < 0) {
                PyErr_SetString(PyExc_ImportError,
                                "strategy_loader cannot register its interpreter shutdown hook (Py_AtExit table full)");
                return -1;
            }
            finalisation_hook_armed = true;
        }
        state.first_interpreter_id = id;
    } else if (id != state.first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

// Create step **************************************************************

// Copies spec.<attribute> into the module dict; a missing attribute is
// skipped, and so is None where `none_allowed` is false.
int copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* module_dict, const char* key,
                        bool none_allowed) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !none_allowed) return 0;
    return PyDict_SetItemString(module_dict, key, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (claim_module_state(PyInterpreterState_Get()) < 0) return nullptr;
    // A repeated import (after `del sys.modules[...]`) gets the same module.
    if (state.module) return Py_NewRef(state.module);

    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    OwnedRef module_dict = OwnedRef::borrow(PyModule_GetDict(module.get()));
    if (copy_spec_attribute(spec, "loader", module_dict.get(), "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", module_dict.get(), "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", module_dict.get(), "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", module_dict.get(), "__path__", false) < 0) {
        return nullptr;
    }
    return module.relinquish_ownership();
}

// Exec step ****************************************************************

int check_interpreter_version() {
    const unsigned long major = (Py_Version >> 24) & 0xff;
    const unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == STRATEGY_LOADER_TARGET_MINOR) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, STRATEGY_LOADER_TARGET_MINOR, module_name_text, "does not match", static_cast<int>(major),
                  static_cast<int>(minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// One code object per function, so that __code__ describes its parameters
// to introspection. They carry the filler of an empty code object and are
// never executed.
PyObject* make_code(const char* function, int first_line, int argcount, std::initializer_list<PyObject*> varnames,
                    bool varkeywords) {
    OwnedRef empty = OwnedRef::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file_text, function, first_line)));
    if (!empty) return nullptr;
    OwnedRef varname_tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(varnames.size())));
    if (!varname_tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* varname : varnames) PyTuple_SET_ITEM(varname_tuple.get(), i++, Py_NewRef(varname));
    OwnedRef replace = OwnedRef::steal(PyObject_GetAttr(empty.get(), names.replace));
    if (!replace) return nullptr;
    OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!keywords) return nullptr;
    OwnedRef flags = OwnedRef::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS | (varkeywords ? CO_VARKEYWORDS : 0)));
    OwnedRef arguments = OwnedRef::steal(PyLong_FromLong(argcount));
    OwnedRef locals = OwnedRef::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varname_tuple.get())));
    if (!flags || !arguments || !locals) return nullptr;
    if (PyDict_SetItem(keywords.get(), names.co_argcount, arguments.get()) < 0 ||
        PyDict_SetItem(keywords.get(), names.co_nlocals, locals.get()) < 0 ||
        PyDict_SetItem(keywords.get(), names.co_varnames, varname_tuple.get()) < 0 ||
        PyDict_SetItem(keywords.get(), names.co_flags, flags.get()) < 0) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), names.empty_tuple, keywords.get());
}

int create_code_objects() {
    struct Code {
        PyObject** slot;
        const char* function;
        int first_line;
        int argcount;
        std::initializer_list<PyObject*> varnames;
        bool varkeywords;
    };
    const Code codes[] = {
        {&state.code_load_strategy, "load_strategy", 72, 2,
         {names.strategy_spec, names.symbols, names.kwargs, names.strategy_class, names.strategy_path}, true},
        {&state.code_load_strategy_from_file, "load_strategy_from_file", 135, 3,
         {names.file_path, names.symbols, names.class_name, names.kwargs, names.spec, names.module,
          names.strategy_class, names.name, names.obj},
         true},
        {&state.code_load_strategy_from_module, "load_strategy_from_module", 200, 2,
         {names.module_path, names.symbols, names.kwargs, names.parts, names.class_name, names.module_name,
          names.module, names.strategy_class},
         true},
        {&state.code_register_strategy, "register_strategy", 232, 2, {names.name, names.strategy_class}, false},
        {&state.code_list_strategies, "list_strategies", 249, 0, {}, false},
    };
    for (const Code& code : codes) {
        if (*code.slot) continue;
        *code.slot = make_code(code.function, code.first_line, code.argcount, code.varnames, code.varkeywords);
        if (!*code.slot) return -1;
    }
    return 0;
}

// Exec steps 3 to 11. Sets *inserted when this step put the module into
// sys.modules under its canonical name.
int initialise(PyObject* module, bool* inserted) {
    Py_XSETREF(state.namespace_dict, Py_NewRef(PyModule_GetDict(module)));
    reset_global_cache();
    if (!state.builtins) {
        PyObject* builtins = PyImport_AddModule("builtins");
        if (!builtins) return -1;
        state.builtins = Py_NewRef(builtins);
        state.builtins_dict = Py_NewRef(PyModule_GetDict(builtins));
    }
    if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return -1;
    if (check_interpreter_version() < 0) return -1;
    if (create_names() < 0) return -1;
    spread_global_cache({names.Strategy, names.InternalBaseStrategy, names.BUILTIN_STRATEGIES, names.importlib,
                         names.sys, names.Path, names.load_strategy_from_file, names.load_strategy_from_module});

    // From here on a failure gets a traceback entry of the module.
    if (create_function_type() < 0) return fail_at(tb_module_init, 1), -1;
    OwnedRef modules = OwnedRef::borrow(PyImport_GetModuleDict());
    int present = PyDict_Contains(modules.get(), names.mod_self);
    if (present < 0) return fail_at(tb_module_init, 1), -1;
    if (!present) {
        if (PyDict_SetItem(modules.get(), names.mod_self, module) < 0) return fail_at(tb_module_init, 1), -1;
        *inserted = true;
    }
    if (create_default_tuples() < 0) return fail_at(tb_module_init, 1), -1;
    if (create_code_objects() < 0) return fail_at(tb_module_init, 1), -1;
    return run_module_body();
}

// Takes back what a failed exec step left behind: the module reference and
// the sys.modules entry it made, so that a later import starts afresh
// instead of finding a half-initialised module.
void forget_failed_module(PyObject* module, bool inserted) {
    if (inserted) {
        PyObject* raised = PyErr_GetRaisedException();
        OwnedRef modules = OwnedRef::borrow(PyImport_GetModuleDict());
        // Compared by address only, never used.
        PyObject* entry = PyDict_GetItemWithError(modules.get(), names.mod_self);
        if (entry == module) {
            if (PyDict_DelItem(modules.get(), names.mod_self) < 0) PyErr_Clear();
        } else if (!entry) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(raised);
    }
    Py_CLEAR(state.module);
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'strategy_loader' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    bool inserted = false;
    if (initialise(module, &inserted) < 0) {
        forget_failed_module(module, inserted);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "strategy_loader",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace strategy_loader

PyMODINIT_FUNC PyInit_strategy_loader(void) { return PyModuleDef_Init(&strategy_loader::module_def); }
