#include "names.hpp"

namespace strategy_loader {

Names names = {};

namespace {

struct NameEntry {
    PyObject** slot;
    const char* text;
};

const NameEntry name_table[] = {
#define STRATEGY_LOADER_NAME_ENTRY(field, text) {&names.field, text},
    STRATEGY_LOADER_NAMES(STRATEGY_LOADER_NAME_ENTRY)
#undef STRATEGY_LOADER_NAME_ENTRY
};

}  // namespace

int create_names() {
    if (!names.empty_tuple && !(names.empty_tuple = PyTuple_New(0))) return -1;
    if (!names.empty_bytes && !(names.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!names.empty_str && !(names.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    for (const NameEntry& entry : name_table) {
        if (*entry.slot) continue;
        PyObject* text = PyUnicode_InternFromString(entry.text);
        if (!text) return -1;
        *entry.slot = text;
    }
    // Cache every hash now: keyword matching relies on them being present.
    for (const NameEntry& entry : name_table) {
        if (PyObject_Hash(*entry.slot) == -1) return -1;
    }
    if (PyObject_Hash(names.empty_str) == -1) return -1;
    if (!names.zero && !(names.zero = PyLong_FromLong(0))) return -1;
    if (!names.str_lower &&
        !(names.str_lower = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), names.lower))) {
        return -1;
    }
    return 0;
}

void forget_names() { names = Names{}; }

int create_default_tuples() {
    if (!names.none_tuple1 && !(names.none_tuple1 = PyTuple_Pack(1, Py_None))) return -1;
    if (!names.none_tuple2 && !(names.none_tuple2 = PyTuple_Pack(2, Py_None, Py_None))) return -1;
    return 0;
}

}  // namespace strategy_loader
