// Process-wide module state. The module keeps everything in static data
// (per-module state size 0), which is why it refuses every interpreter but
// the one that owns the state while that one lives. The references here are
// owned and deliberately never released: the module is never torn down, and
// releasing them from a C++ destructor at process exit would run after the
// interpreter is gone.
//
// When the owning interpreter is gone (an embedding program finalised it,
// or a destroyed subinterpreter), every object the state and the caches
// refer to died with it, or belongs to memory that is no longer its own.
// The next create step then forgets all of it without touching it (leaking
// what may still be allocated) and the importing interpreter starts afresh.
#pragma once

#include "owned_ref.hpp"

#include <cstdint>

namespace strategy_loader {

struct ModuleState {
    int64_t first_interpreter_id = -1;
    PyObject* module = nullptr;         // set during exec, cleared if exec fails
    PyObject* namespace_dict = nullptr; // the module's __dict__
    PyObject* builtins = nullptr;       // the builtins module
    PyObject* builtins_dict = nullptr;  // its __dict__, second place for look-ups
    PyObject* function_type = nullptr;
    PyObject* code_load_strategy = nullptr;
    PyObject* code_load_strategy_from_file = nullptr;
    PyObject* code_load_strategy_from_module = nullptr;
    PyObject* code_register_strategy = nullptr;
    PyObject* code_list_strategies = nullptr;
};

extern ModuleState state;

// Fixed texts shared by several sources.
inline constexpr const char module_name_text[] = "quorvane.strategy_loader";
inline constexpr const char source_file_text[] = "quorvane/strategy_loader";

}  // namespace strategy_loader
