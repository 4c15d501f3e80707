// Traceback entries: the frame the module appends to every exception that
// leaves an operation or the module body, so that a user's traceback shows
// where inside the module the failure arose.
#pragma once

#include "owned_ref.hpp"

namespace strategy_loader {

// Function names of the entries.
inline constexpr const char tb_load_strategy[] = "quorvane.strategy_loader.load_strategy";
inline constexpr const char tb_load_strategy_from_file[] = "quorvane.strategy_loader.load_strategy_from_file";
inline constexpr const char tb_load_strategy_from_module[] = "quorvane.strategy_loader.load_strategy_from_module";
inline constexpr const char tb_register_strategy[] = "quorvane.strategy_loader.register_strategy";
inline constexpr const char tb_list_strategies[] = "quorvane.strategy_loader.list_strategies";
inline constexpr const char tb_module_init[] = "init quorvane.strategy_loader";
inline constexpr const char tb_module_handler[] = "quorvane.strategy_loader";

// Appends one entry (file "quorvane/strategy_loader", `function`, `line`)
// to the exception being raised. With no exception set it first raises
// SystemError naming the step; if the entry cannot be made, that error
// replaces the exception.
void add_traceback_entry(const char* function, int line);

// Forgets the cached code objects of an interpreter that is gone, without
// touching them; the table's memory is the process's and is kept.
void forget_traceback_code_cache();

// The same, returning null so that failure paths can end in one statement.
inline PyObject* fail_at(const char* function, int line) {
    add_traceback_entry(function, line);
    return nullptr;
}

// The result of a step, or null with an entry at `line` when it failed.
inline PyObject* result_or_fail(OwnedRef result, const char* function, int line) {
    if (!result) return fail_at(function, line);
    return result.relinquish_ownership();
}

}  // namespace strategy_loader
