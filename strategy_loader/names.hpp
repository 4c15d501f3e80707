// Constant strings of the module, created once per process before the
// module body runs. All are interned and their hashes are computed up
// front, so keyword matching can compare identities and cached hashes and
// no call ever builds one of them.
#pragma once

#include "owned_ref.hpp"

namespace strategy_loader {

// X(field, text)
#define STRATEGY_LOADER_NAMES(X)                                                        \
    /* parameters and locals */                                                         \
    X(strategy_spec, "strategy_spec")                                                   \
    X(symbols, "symbols")                                                               \
    X(kwargs, "kwargs")                                                                 \
    X(strategy_class, "strategy_class")                                                 \
    X(strategy_path, "strategy_path")                                                   \
    X(file_path, "file_path")                                                           \
    X(class_name, "class_name")                                                         \
    X(spec, "spec")                                                                     \
    X(module, "module")                                                                 \
    X(name, "name")                                                                     \
    X(obj, "obj")                                                                       \
    X(module_path, "module_path")                                                       \
    X(parts, "parts")                                                                   \
    X(module_name, "module_name")                                                       \
    X(return_, "return")                                                                \
    /* functions */                                                                     \
    X(load_strategy, "load_strategy")                                                   \
    X(load_strategy_from_file, "load_strategy_from_file")                               \
    X(load_strategy_from_module, "load_strategy_from_module")                           \
    X(register_strategy, "register_strategy")                                           \
    X(list_strategies, "list_strategies")                                               \
    /* module-level names */                                                            \
    X(Strategy, "Strategy")                                                             \
    X(InternalBaseStrategy, "InternalBaseStrategy")                                     \
    X(BaseStrategy, "BaseStrategy")                                                     \
    X(BUILTIN_STRATEGIES, "BUILTIN_STRATEGIES")                                         \
    X(importlib, "importlib")                                                           \
    X(sys, "sys")                                                                       \
    X(Path, "Path")                                                                     \
    X(os, "os")                                                                         \
    X(parent_dir, "parent_dir")                                                         \
    X(Any, "Any")                                                                       \
    X(Dict, "Dict")                                                                     \
    X(List, "List")                                                                     \
    X(Optional, "Optional")                                                             \
    X(Union, "Union")                                                                   \
    X(SMAMomentumStrategy, "SMAMomentumStrategy")                                       \
    X(DualSMAMomentumStrategy, "DualSMAMomentumStrategy")                               \
    X(RSIMomentumStrategy, "RSIMomentumStrategy")                                       \
    X(MACDCrossoverStrategy, "MACDCrossoverStrategy")                                   \
    X(BollingerMeanReversionStrategy, "BollingerMeanReversionStrategy")                 \
    X(VWAPReversionStrategy, "VWAPReversionStrategy")                                   \
    X(dunder_all, "__all__")                                                            \
    X(dunder_test, "__test__")                                                          \
    X(dunder_builtins, "__builtins__")                                                  \
    X(dunder_file, "__file__")                                                          \
    X(dunder_loader, "__loader__")                                                      \
    X(dunder_package, "__package__")                                                    \
    X(dunder_path, "__path__")                                                          \
    X(dunder_name, "__name__")                                                          \
    /* attributes and methods called */                                                \
    X(lower, "lower")                                                                   \
    X(exists, "exists")                                                                 \
    X(suffix, "suffix")                                                                 \
    X(resolve, "resolve")                                                               \
    X(util, "util")                                                                     \
    X(spec_from_file_location, "spec_from_file_location")                               \
    X(module_from_spec, "module_from_spec")                                             \
    X(loader, "loader")                                                                 \
    X(exec_module, "exec_module")                                                       \
    X(modules, "modules")                                                               \
    X(import_module, "import_module")                                                   \
    X(keys, "keys")                                                                     \
    X(path, "path")                                                                     \
    X(insert, "insert")                                                                 \
    X(dirname, "dirname")                                                               \
    X(abspath, "abspath")                                                               \
    X(add_note, "add_note")                                                             \
    X(origin, "origin")                                                                 \
    X(parent, "parent")                                                                 \
    X(submodule_search_locations, "submodule_search_locations")                         \
    X(replace, "replace")                                                               \
    X(co_argcount, "co_argcount")                                                       \
    X(co_nlocals, "co_nlocals")                                                         \
    X(co_varnames, "co_varnames")                                                       \
    X(co_flags, "co_flags")                                                             \
    /* registry keys */                                                                 \
    X(key_sma_momentum, "sma_momentum")                                                 \
    X(key_dual_sma_momentum, "dual_sma_momentum")                                       \
    X(key_rsi_momentum, "rsi_momentum")                                                 \
    X(key_macd_crossover, "macd_crossover")                                             \
    X(key_bollinger_mean_reversion, "bollinger_mean_reversion")                         \
    X(key_vwap_reversion, "vwap_reversion")                                             \
    /* module names */                                                                  \
    X(mod_importlib_util, "importlib.util")                                             \
    X(mod_pathlib, "pathlib")                                                           \
    X(mod_typing, "typing")                                                             \
    X(mod_trader_core_strategies, "trader_core.strategies")                             \
    X(mod_trader_core_strategies_base, "trader_core.strategies.base")                   \
    X(mod_strategy, "strategy")                                                         \
    X(mod_pkg_trader_core_strategies, "quorvane.trader_core.strategies")                \
    X(mod_pkg_trader_core_strategies_base, "quorvane.trader_core.strategies.base")      \
    X(mod_pkg_strategy, "quorvane.strategy")                                            \
    X(mod_self, "quorvane.strategy_loader")                                             \
    X(strategy_module, "strategy_module")                                               \
    /* message pieces and other texts */                                                \
    X(dot, ".")                                                                         \
    X(py_suffix, ".py")                                                                 \
    X(annotation_spec_union, "Union[str, Strategy, InternalBaseStrategy]")              \
    X(annotation_symbols, "Optional[List[str]]")                                        \
    X(annotation_any, "Any")                                                            \
    X(annotation_result, "Union[Strategy, InternalBaseStrategy]")                       \
    X(annotation_path, "Path")                                                          \
    X(annotation_optional_str, "Optional[str]")                                         \
    X(annotation_str, "str")                                                            \
    X(annotation_type, "type")                                                          \
    X(annotation_none, "None")                                                          \
    X(annotation_list_str, "List[str]")                                                 \
    X(msg_invalid_module_path, "Invalid module path: ")                                 \
    X(msg_strategy_open, "Strategy '")                                                  \
    X(msg_strategy_not_found, "' not found. Available built-in strategies: ")           \
    X(msg_invalid_spec, "Invalid strategy specification: ")                             \
    X(msg_file_not_found, "Strategy file not found: ")                                  \
    X(msg_could_not_load, "Could not load strategy from ")                              \
    X(msg_class_open, "Class '")                                                        \
    X(msg_class_not_found_in, "' not found in ")                                        \
    X(msg_multiple_classes, "Multiple strategy classes found in ")                      \
    X(msg_specify_class_name, ". Specify class_name parameter.")                        \
    X(msg_no_class, "No strategy class found in ")                                      \
    X(msg_define_class, ". Define a class that inherits from Strategy or BaseStrategy.")

struct Names {
#define STRATEGY_LOADER_DECLARE_NAME(field, text) PyObject* field;
    STRATEGY_LOADER_NAMES(STRATEGY_LOADER_DECLARE_NAME)
#undef STRATEGY_LOADER_DECLARE_NAME
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;
    PyObject* zero;
    PyObject* none_tuple1;  // (None,)
    PyObject* none_tuple2;  // (None, None)
    PyObject* str_lower;    // the method str.lower, called without a look-up
};

// Process-wide, made once, never freed (the module is never torn down).
extern Names names;

// Creates every constant string and the empty constants; idempotent, so a
// retried import after a failed one reuses what was made. -1 on error.
int create_names();
// Creates the defaults tuples (None,) and (None, None). -1 on error.
int create_default_tuples();
// Forgets every constant of an interpreter that is gone, without touching
// them (see module_state.hpp).
void forget_names();

}  // namespace strategy_loader
