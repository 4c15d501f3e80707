#include "namespace.hpp"

#include "module_state.hpp"

#include <cstdint>

namespace strategy_loader {

// Resolution cache *********************************************************
//
// Resolving a name costs two dict look-ups on every call. Results are kept
// in a small table that a dict watcher on the module namespace and on the
// builtins dict empties before either dict changes in any way, so a cached
// value is never stale and a rebinding takes effect on the next call. The
// cached values are borrowed: the watched dicts hold them for as long as
// the table does. Without a watcher (none left, say) every call resolves
// afresh.

namespace {

struct CachedName {
    PyObject* name;
    PyObject* value;
    uint64_t generation;
};

// Direct-mapped by a multiplicative hash of the address of the (interned,
// immortal) name constant. Two names that share a slot take turns, each
// call missing both, so the multiplier is chosen once the names exist to
// give the names the operations resolve slots of their own.
constexpr int cache_slot_bits = 5;
constexpr int cache_slots = 1 << cache_slot_bits;
CachedName cache[cache_slots];
constexpr uint64_t first_multiplier = 0x9E3779B97F4A7C15;  // 2^64 / golden ratio, odd
uint64_t slot_multiplier = first_multiplier;
// Bumped by every change of a watched dict; entries of older generations
// are dead. Starts above the zero of empty entries.
uint64_t generation = 1;
int watcher_id = -1;
PyObject* watched_namespace = nullptr;

size_t slot_index(PyObject* name, uint64_t multiplier) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(name) * multiplier) >> (64 - cache_slot_bits));
}

CachedName& slot_for(PyObject* name) { return cache[slot_index(name, slot_multiplier)]; }

int forget_on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}

bool watching() {
    if (watched_namespace == state.namespace_dict) return true;
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(forget_on_change);
        if (watcher_id < 0) {
            PyErr_Clear();
            return false;
        }
        if (PyDict_Watch(watcher_id, state.builtins_dict) < 0) {
            PyErr_Clear();
            PyDict_ClearWatcher(watcher_id);
            watcher_id = -1;
            return false;
        }
    }
    if (PyDict_Watch(watcher_id, state.namespace_dict) < 0) {
        PyErr_Clear();
        return false;
    }
    watched_namespace = state.namespace_dict;
    return true;
}

}  // namespace

void reset_global_cache() {
    ++generation;
    watched_namespace = nullptr;
}

void spread_global_cache(std::initializer_list<PyObject*> hot_names) {
    // With 8 names in 32 slots about one multiplier in three separates them
    // all; if none of the tried ones does, the last one merely shares slots.
    uint64_t multiplier = first_multiplier;
    for (int attempt = 0; attempt < 256; ++attempt, multiplier += 2) {
        uint32_t taken = 0;
        bool separate = true;
        for (PyObject* name : hot_names) {
            const uint32_t bit = 1u << slot_index(name, multiplier);
            separate = separate && !(taken & bit);
            taken |= bit;
        }
        if (separate) break;
    }
    slot_multiplier = multiplier;
    ++generation;
}

void forget_global_cache() {
    for (CachedName& entry : cache) entry = CachedName{};
    ++generation;
    watcher_id = -1;
    watched_namespace = nullptr;
}

// Kept out of line so that the cache hit, the path of nearly every call,
// stays small enough to be inlined.
[[gnu::noinline]] static OwnedRef resolve_uncached(PyObject* name, CachedName& slot) {
    // The look-ups can run code (the equality test of a colliding key) that
    // rebinds names. The entry is stamped with the generation from before
    // they started, so such a rebinding leaves it dead for the next call.
    const bool cacheable = watching();
    const uint64_t seen = generation;
    PyObject* value = PyDict_GetItemWithError(state.namespace_dict, name);
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = PyDict_GetItemWithError(state.builtins_dict, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return {};
        }
    }
    // A reference of our own: the caller may run code that rebinds the name.
    OwnedRef result = OwnedRef::borrow(value);
    if (cacheable) slot = CachedName{name, value, seen};
    return result;
}

OwnedRef resolve_global(PyObject* name) {
    CachedName& slot = slot_for(name);
    if (slot.name == name && slot.generation == generation) return OwnedRef::borrow(slot.value);
    return resolve_uncached(name, slot);
}

int derives_from(PyObject* cls, PyObject* base_name) {
    OwnedRef base = resolve_global(base_name);
    if (!base) return -1;
    return PyObject_IsSubclass(cls, base.get());
}

}  // namespace strategy_loader
