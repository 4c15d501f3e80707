// The five exported operations. Each source defines the FunctionDef of its
// function (name, docstring, parameters, exact-type tests, definition
// line); the module body turns them into function objects.
#pragma once

#include "function_type.hpp"

namespace strategy_loader {

extern const FunctionDef load_strategy_def;
extern const FunctionDef load_strategy_from_file_def;
extern const FunctionDef load_strategy_from_module_def;
extern const FunctionDef register_strategy_def;
extern const FunctionDef list_strategies_def;

// Forgets the cached module path splits of an interpreter that is gone.
void forget_module_path_splits();

}  // namespace strategy_loader
