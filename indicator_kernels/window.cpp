// Window kernels: the sum, mean, and mean with population standard
// deviation of every run of `period` consecutive values.
//
// Each window is the previous one plus the value that enters minus the one
// that leaves, one pass and O(1) per value whatever the period. Such a
// running total keeps the rounding residue of every value it has seen, so
// it is started afresh from the window's own values every few thousand
// places: the error of a result depends on its neighbourhood, not on the
// length of the series (1e8 followed by 0.1 leaves no 1e8 residue in the
// windows of 0.1 further on).

#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace indicator_kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Places between fresh starts of a running window sum (or the period, if longer).
constexpr Py_ssize_t sum_restart = 4096;
// For the moments, whose reference level also moves with the series.
constexpr Py_ssize_t moment_restart = 64;

// Writes NaN over the places that precede the first full window; true if
// there is a full window at all.
bool fill_warm_up(double* out, Py_ssize_t n, Py_ssize_t period) {
    std::fill(out, out + std::min(n, period - 1), nan);
    return n >= period;
}

// out[i] = (sum of x[i - period + 1 .. i]) / divisor, for i >= period - 1.
void window_sums(const double* x, Py_ssize_t n, Py_ssize_t period, double divisor, double* out) {
    if (!fill_warm_up(out, n, period)) return;
    const Py_ssize_t block = std::max(period, sum_restart);
    for (Py_ssize_t first = period - 1; first < n; first += block) {
        double sum = 0.0;
        for (Py_ssize_t k = first - period + 1; k <= first; ++k) sum += x[k];
        out[first] = sum / divisor;
        const Py_ssize_t last = std::min(n, first + block);
        for (Py_ssize_t i = first + 1; i < last; ++i) {
            sum += x[i] - x[i - period];
            out[i] = sum / divisor;
        }
    }
}

// Mean and population standard deviation (divisor `period`) of each window.
// The sums are of deviations from a reference, the mean of the window where
// the running sums restart, so the variance is a difference of numbers of
// the spread's size, not of squares of the price level.
void window_moments(const double* x, Py_ssize_t n, Py_ssize_t period, double* mean, double* deviation) {
    fill_warm_up(mean, n, period);
    if (!fill_warm_up(deviation, n, period)) return;
    if (period == 1) {
        // One value has no spread; rounding would leave a trace.
        std::copy(x, x + n, mean);
        std::fill(deviation, deviation + n, 0.0);
        return;
    }
    const double count = static_cast<double>(period);
    const Py_ssize_t block = std::max(period, moment_restart);
    for (Py_ssize_t first = period - 1; first < n; first += block) {
        const double* window = x + first - period + 1;
        double reference = 0.0;
        for (Py_ssize_t k = 0; k < period; ++k) reference += window[k];
        reference /= count;
        double sum = 0.0, squares = 0.0;
        for (Py_ssize_t k = 0; k < period; ++k) {
            double d = window[k] - reference;
            sum += d;
            squares += d * d;
        }
        const Py_ssize_t last = std::min(n, first + block);
        for (Py_ssize_t i = first;; ) {
            double shift = sum / count;
            mean[i] = reference + shift;
            deviation[i] = std::sqrt(std::max(squares / count - shift * shift, 0.0));
            if (++i == last) break;
            double entering = x[i] - reference, leaving = x[i - period] - reference;
            sum += entering - leaving;
            squares += entering * entering - leaving * leaving;
        }
    }
}

// Parses (x, period, out) and writes the window sums, or means if `mean`.
PyObject* run_window_sums(const char* function, PyObject* const* args, Py_ssize_t nargs, bool mean) {
    Py_ssize_t period;
    if (!check_arg_count(function, nargs, 3) || !parse_period(args[1], "period", &period)) return nullptr;
    Float64Buffer x, out;
    if (!x.acquire(args[0], "x", false) || !out.acquire(args[2], "out", true, x.size()) ||
        !check_separate("out", out, x, "x")) {
        return nullptr;
    }
    const double divisor = mean ? static_cast<double>(period) : 1.0;
    Py_BEGIN_ALLOW_THREADS
    window_sums(x.data(), x.size(), period, divisor, out.mutable_data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace

extern const char window_sum_doc[] =
    "window_sum(x, period, out, /)\n--\n\n"
    "out[i] = sum of x[i - period + 1 .. i] from i = period - 1 on; NaN before.";

PyObject* window_sum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return run_window_sums("window_sum", args, nargs, false);
}

extern const char window_mean_doc[] =
    "window_mean(x, period, out, /)\n--\n\n"
    "out[i] = mean of x[i - period + 1 .. i] from i = period - 1 on; NaN before.";

PyObject* window_mean(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return run_window_sums("window_mean", args, nargs, true);
}

extern const char window_mean_std_doc[] =
    "window_mean_std(x, period, mean, std, /)\n--\n\n"
    "Mean and population standard deviation of x[i - period + 1 .. i] from\n"
    "i = period - 1 on; NaN before.";

PyObject* window_mean_std(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t period;
    if (!check_arg_count("window_mean_std", nargs, 4) || !parse_period(args[1], "period", &period)) return nullptr;
    Float64Buffer x, mean, deviation;
    if (!x.acquire(args[0], "x", false) || !mean.acquire(args[2], "mean", true, x.size()) ||
        !deviation.acquire(args[3], "std", true, x.size()) || !check_separate("mean", mean, x, "x") ||
        !check_separate("std", deviation, x, "x") || !check_separate("std", deviation, mean, "mean")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    window_moments(x.data(), x.size(), period, mean.mutable_data(), deviation.mutable_data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace indicator_kernels
