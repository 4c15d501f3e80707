// Module-level names as the operations see them: looked up at the moment
// of use in the module namespace, then among the builtins, so that a
// caller who rebinds a module attribute changes the next call.
#pragma once

#include "owned_ref.hpp"

namespace strategy_loader {

// New reference to the value bound to `name` (an interned constant), or
// null with NameError "name '%U' is not defined" (or the error of a failing
// look-up).
OwnedRef resolve_global(PyObject* name);

// Forgets every cached resolution; called when the module namespace is
// (re)bound by the exec step.
void reset_global_cache();

}  // namespace strategy_loader
