#include "namespace.hpp"

#include "module_state.hpp"

namespace strategy_loader {

OwnedRef resolve_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.namespace_dict, name);
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = PyDict_GetItemWithError(state.builtins_dict, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return {};
        }
    }
    // The callee may rebind the name while we still use the value.
    return OwnedRef::borrow(value);
}

}  // namespace strategy_loader
