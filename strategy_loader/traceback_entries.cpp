#include "traceback_entries.hpp"

#include "module_state.hpp"

#include <frameobject.h>

#include <cstring>

namespace strategy_loader {

// Code object cache ****************************************************
//
// An entry's line is carried by its code object (as the first line), so one
// code object is kept per (line, function) pair. Keying by the line alone
// would show one function's name in another's entry when two entries share
// a line. The table is sorted by (line, function) and searched by
// bisection; function names are compared by content because the same text
// may sit at several addresses.

namespace {

struct CacheEntry {
    int line;
    const char* function;
    PyObject* code;  // owned, never released
};

struct CodeCache {
    CacheEntry* entries = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t capacity = 0;
};

CodeCache cache;

int compare_key(const CacheEntry& entry, int line, const char* function) {
    if (entry.line != line) return entry.line < line ? -1 : 1;
    return std::strcmp(entry.function, function);
}

// Index of the first entry not below the key.
Py_ssize_t lower_bound(int line, const char* function) {
    Py_ssize_t lo = 0, hi = cache.count;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        if (compare_key(cache.entries[mid], line, function) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

PyObject* cached_code(int line, const char* function) {
    Py_ssize_t i = lower_bound(line, function);
    if (i < cache.count && compare_key(cache.entries[i], line, function) == 0) return cache.entries[i].code;
    return nullptr;
}

// Stores `code` (a new reference) under the key unless an entry appeared
// meanwhile. Storing never runs Python code, so no re-entrant call can
// interleave with the table update itself. Returns the cached object
// (borrowed); if the table cannot grow, the caller keeps its own object.
PyObject* store_code(int line, const char* function, PyObject* code) {
    Py_ssize_t i = lower_bound(line, function);
    if (i < cache.count && compare_key(cache.entries[i], line, function) == 0) {
        Py_DECREF(code);
        return cache.entries[i].code;
    }
    if (cache.count == cache.capacity) {
        Py_ssize_t capacity = cache.capacity + 64;
        auto* grown = static_cast<CacheEntry*>(PyMem_RawRealloc(cache.entries, sizeof(CacheEntry) * capacity));
        if (!grown) return nullptr;
        cache.entries = grown;
        cache.capacity = capacity;
    }
    std::memmove(cache.entries + i + 1, cache.entries + i, sizeof(CacheEntry) * (cache.count - i));
    cache.entries[i] = CacheEntry{line, function, code};
    ++cache.count;
    return code;
}

// After a failed attempt to make the entry: its error replaces the
// exception being reported; an attempt that failed without one leaves that
// exception as it was.
void keep_or_replace(PyObject* pending) {
    if (PyErr_Occurred()) {
        Py_XDECREF(pending);
    } else {
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace

void forget_traceback_code_cache() { cache.count = 0; }

void add_traceback_entry(const char* function, int line) {
    // A step that failed without setting an exception (the interpreter's own
    // calls do so under some allocation failures) is reported the way the
    // interpreter reports such a result, so the entry has something to join.
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%s (line %d) returned NULL without setting an exception", function, line);
    }
    PyObject* code = cached_code(line, function);
    OwnedRef uncached;
    if (!code) {
        // Making the code object may run arbitrary code (the collector can
        // call finalizers), which must not see or disturb the exception
        // being reported; re-entrant entries are fine because the table is
        // searched again before storing.
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* made = reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file_text, function, line));
        if (!made) {
            keep_or_replace(pending);
            return;
        }
        code = store_code(line, function, made);
        if (!code) {
            uncached = OwnedRef::steal(made);
            code = made;
        }
        PyErr_SetRaisedException(pending);
    }
    PyObject* pending = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.namespace_dict, nullptr);
    if (!frame) {
        keep_or_replace(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    // The frame's line is its code object's first line: the entry's line.
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace strategy_loader
