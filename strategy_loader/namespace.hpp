// Module-level names as the operations see them: looked up at the moment
// of use in the module namespace, then among the builtins, so that a
// caller who rebinds a module attribute changes the next call.
#pragma once

#include "owned_ref.hpp"

#include <initializer_list>

namespace strategy_loader {

// New reference to the value bound to `name` (an interned constant), or
// null with NameError "name '%U' is not defined" (or the error of a failing
// look-up).
OwnedRef resolve_global(PyObject* name);

// Is `cls` a subclass of the module-level base class bound to `base_name`?
// 1, 0, or -1 with the error of the look-up or of issubclass.
int derives_from(PyObject* cls, PyObject* base_name);

// Forgets every cached resolution; called when the module namespace is
// (re)bound by the exec step.
void reset_global_cache();

// Places the cache slots so that `hot_names` (interned constants) never
// evict each other; called once the constants exist.
void spread_global_cache(std::initializer_list<PyObject*> hot_names);

// Forgets the cache and the dict watcher of an interpreter that is gone;
// watchers are per interpreter.
void forget_global_cache();

}  // namespace strategy_loader
