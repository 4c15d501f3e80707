// The module `quorvane._kernels`: its method table, and the checks every
// kernel makes of its arguments before it touches memory.

#include "kernels.hpp"

#include <cstdint>
#include <cstring>

namespace indicator_kernels {

// Arrays *******************************************************************

namespace {

bool is_float64_format(const char* format) {
    // Native byte order and size; "d" is what numpy and array.array give.
    return format != nullptr &&
           (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 || std::strcmp(format, "=d") == 0);
}

}  // namespace

bool Float64Buffer::acquire(PyObject* obj, const char* name, bool writable, Py_ssize_t expected_size) {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a float64 array, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
        // Exporters report read-only or strided memory as BufferError or
        // ValueError in their own words; say which argument it was.
        OwnedRef cause(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(cause.get(), PyExc_BufferError) &&
            !PyErr_GivenExceptionMatches(cause.get(), PyExc_ValueError)) {
            PyErr_SetRaisedException(cause.release());
            return false;
        }
        PyErr_Format(PyExc_ValueError, "%s must be a %sC-contiguous float64 array (%S)", name,
                     writable ? "writable " : "", cause.get());
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause.release());
        PyErr_SetRaisedException(error);
        return false;
    }
    held_ = true;
    if (!is_float64_format(view_.format) || view_.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
        PyErr_Format(PyExc_TypeError, "%s must hold float64 values, got format '%s'", name,
                     view_.format ? view_.format : "B");
        return false;
    }
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, got %d dimensions", name, view_.ndim);
        return false;
    }
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must be aligned to 8 bytes", name);
        return false;
    }
    size_ = view_.shape[0];
    if (expected_size >= 0 && size_ != expected_size) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd values, got %zd", name, expected_size, size_);
        return false;
    }
    return true;
}

bool Float64Buffer::overlaps(const Float64Buffer& other) const noexcept {
    if (size_ == 0 || other.size_ == 0) return false;
    auto begin = reinterpret_cast<std::uintptr_t>(view_.buf);
    auto other_begin = reinterpret_cast<std::uintptr_t>(other.view_.buf);
    return begin < other_begin + other.view_.len && other_begin < begin + view_.len;
}

// Arguments ****************************************************************

bool check_arg_count(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments, got %zd", function, expected, nargs);
    return false;
}

bool parse_int(PyObject* obj, const char* name, Py_ssize_t least, Py_ssize_t* result) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    // An int subclass is read as its value; no __index__ runs.
    Py_ssize_t value = PyLong_AsSsize_t(obj);
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        value = least - 1;  // reported below as out of range
    }
    if (value < least) {
        PyErr_Format(PyExc_ValueError, "%s must be an int from %zd to %zd, got %R", name, least, PY_SSIZE_T_MAX,
                     obj);
        return false;
    }
    *result = value;
    return true;
}

bool parse_period(PyObject* obj, const char* name, Py_ssize_t* period) { return parse_int(obj, name, 1, period); }

bool parse_float(PyObject* obj, const char* name, double* value) {
    if (!PyFloat_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a float, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    *value = PyFloat_AS_DOUBLE(obj);
    return true;
}

bool parse_smoothing(PyObject* obj, double* alpha) {
    double value;
    if (!parse_float(obj, "alpha", &value)) return false;
    if (!(value > 0.0 && value <= 1.0)) {
        PyErr_Format(PyExc_ValueError, "alpha must be in (0, 1], got %R", obj);
        return false;
    }
    *alpha = value;
    return true;
}

bool check_separate(const char* name, const Float64Buffer& out, const Float64Buffer& other, const char* other_name) {
    if (!out.overlaps(other)) return true;
    PyErr_Format(PyExc_ValueError, "%s must not share memory with %s", name, other_name);
    return false;
}

// Module *******************************************************************

namespace {

constexpr const char module_doc[] =
    "Compiled loops over float64 arrays: behind quorvane.indicators, window sums\n"
    "and moments and first-order recurrences (outputs passed in and filled, NaN\n"
    "during the warm-up); behind quorvane.backtest, the account and the figures\n"
    "of its equity curve and the per-block sums of its returns.";

// METH_FASTCALL functions go into the table's PyCFunction slot; the cast
// through void(*)() keeps the compiler from warning about the changed type.
PyCFunction as_method(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"window_sum", as_method(window_sum), METH_FASTCALL,
     window_sum_doc},
    {"window_mean", as_method(window_mean), METH_FASTCALL,
     window_mean_doc},
    {"window_mean_std", as_method(window_mean_std),
     METH_FASTCALL, window_mean_std_doc},
    {"ema", as_method(ema), METH_FASTCALL, ema_doc},
    {"rsi", as_method(rsi), METH_FASTCALL, rsi_doc},
    {"macd", as_method(macd), METH_FASTCALL, macd_doc},
    {"account", as_method(account), METH_FASTCALL, account_doc},
    {"curve_figures", as_method(curve_figures), METH_FASTCALL, curve_figures_doc},
    {"curve_block_sums", as_method(curve_block_sums), METH_FASTCALL, curve_block_sums_doc},
    {nullptr, nullptr, 0, nullptr},
};

// No state: the module may live in any number of interpreters.
PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvane._kernels",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace indicator_kernels

PyMODINIT_FUNC PyInit__kernels() { return PyModuleDef_Init(&indicator_kernels::module_def); }
