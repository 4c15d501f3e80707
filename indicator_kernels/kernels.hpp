// Shared pieces of the compiled kernels: the view of a float64 array taken
// through the buffer protocol, the argument checks, and the entry points
// that module.cpp puts in the method table.
//
// Every entry point takes its arrays as 1-D C-contiguous float64 buffers;
// the Python side allocates the outputs and the kernels write every element
// of them, NaN during the warm-up. The loops run without the interpreter
// lock while the buffers stay held, so the arrays cannot be resized or
// freed under them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace indicator_kernels {

struct DecRef {
    void operator()(PyObject* obj) const noexcept { Py_DECREF(obj); }
};
// An owned reference, released on scope exit.
using OwnedRef = std::unique_ptr<PyObject, DecRef>;

// A float64 array held through the buffer protocol, released on scope exit.
class Float64Buffer {
public:
    Float64Buffer() noexcept = default;
    Float64Buffer(const Float64Buffer&) = delete;
    Float64Buffer& operator=(const Float64Buffer&) = delete;
    ~Float64Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Views `obj`, named `name` in messages, as a 1-D C-contiguous float64
    // array of `expected_size` elements (any size if negative), writable if
    // asked. false with TypeError or ValueError set. Can run Python code
    // (a class may define __buffer__).
    bool acquire(PyObject* obj, const char* name, bool writable, Py_ssize_t expected_size = -1);

    Py_ssize_t size() const noexcept { return size_; }
    const double* data() const noexcept { return static_cast<const double*>(view_.buf); }
    double* mutable_data() noexcept { return static_cast<double*>(view_.buf); }
    // Whether the two arrays share any byte of memory.
    bool overlaps(const Float64Buffer& other) const noexcept;

private:
    Py_buffer view_{};
    Py_ssize_t size_ = 0;
    bool held_ = false;
};

// Argument checks; each returns false with an exception set.
bool check_arg_count(const char* function, Py_ssize_t nargs, Py_ssize_t expected);
// An int (not a bool) >= least (which is at least PY_SSIZE_T_MIN + 1).
bool parse_int(PyObject* obj, const char* name, Py_ssize_t least, Py_ssize_t* result);
// An int (not a bool) >= 1.
bool parse_period(PyObject* obj, const char* name, Py_ssize_t* period);
// A float (not an int), read as its value.
bool parse_float(PyObject* obj, const char* name, double* value);
// A float in (0, 1].
bool parse_smoothing(PyObject* obj, double* alpha);
// No output may share memory with the input or with another output: a
// kernel reads values behind the ones it writes.
bool check_separate(const char* name, const Float64Buffer& out, const Float64Buffer& other, const char* other_name);

// Window kernels (window.cpp).
PyObject* window_sum(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* window_mean(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* window_mean_std(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char window_sum_doc[];
extern const char window_mean_doc[];
extern const char window_mean_std_doc[];

// Recurrence kernels (recurrence.cpp).
PyObject* ema(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* rsi(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* macd(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char ema_doc[];
extern const char rsi_doc[];
extern const char macd_doc[];

// The account of a backtest (account.cpp), and the figures of its equity
// curve and the per-block sums of its returns (figures.cpp).
PyObject* account(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* curve_figures(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* curve_block_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char account_doc[];
extern const char curve_figures_doc[];
extern const char curve_block_sums_doc[];

}  // namespace indicator_kernels
