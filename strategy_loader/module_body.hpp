// The module body: what the module's source would run at import, statement
// by statement, each failure carrying the line of its statement.
#pragma once

#include "owned_ref.hpp"

namespace strategy_loader {

// Runs the body in the module namespace. On failure returns -1 with the
// traceback entry for "init quorvane.strategy_loader" already added.
int run_module_body();

}  // namespace strategy_loader
