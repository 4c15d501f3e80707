// Recurrence kernels: averages that follow y[t] = y[t-1] + alpha * (x[t] - y[t-1])
// from a seed, the mean of the first values. The exponential moving average
// is the bare recurrence; RSI and MACD get their own loops, which run their
// two or three recurrences side by side in one pass and write the finished
// indicator, instead of making a full-length array per intermediate series.

#include "kernels.hpp"

#include <algorithm>
#include <limits>

namespace indicator_kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double mean_of(const double* x, Py_ssize_t count) {
    double sum = 0.0;
    for (Py_ssize_t k = 0; k < count; ++k) sum += x[k];
    return sum / static_cast<double>(count);
}

// out[period - 1] = mean of x[0 .. period - 1], then the recurrence.
void smooth(const double* x, Py_ssize_t n, Py_ssize_t period, double alpha, double* out) {
    std::fill(out, out + std::min(n, period - 1), nan);
    if (n < period) return;
    double y = mean_of(x, period);
    out[period - 1] = y;
    for (Py_ssize_t t = period; t < n; ++t) {
        y += alpha * (x[t] - y);
        out[t] = y;
    }
}

// The share of gains in gains plus losses, in percent; 50 with neither.
double strength(double gain, double loss) {
    double total = gain + loss;
    return total > 0.0 ? 100.0 * gain / total : 50.0;
}

// Wilder's RSI: average gain and loss seeded with the means of the first
// `period` changes, then smoothed with alpha = 1 / period; the first value
// is at index `period`.
void relative_strength(const double* x, Py_ssize_t n, Py_ssize_t period, double* out) {
    std::fill(out, out + std::min(n, period), nan);
    if (n <= period) return;
    double gain = 0.0, loss = 0.0;
    for (Py_ssize_t t = 1; t <= period; ++t) {
        double change = x[t] - x[t - 1];
        gain += std::max(change, 0.0);
        loss += std::max(-change, 0.0);
    }
    const double count = static_cast<double>(period);
    gain /= count;
    loss /= count;
    out[period] = strength(gain, loss);
    const double alpha = 1.0 / count;
    for (Py_ssize_t t = period + 1; t < n; ++t) {
        double change = x[t] - x[t - 1];
        gain += alpha * (std::max(change, 0.0) - gain);
        loss += alpha * (std::max(-change, 0.0) - loss);
        out[t] = strength(gain, loss);
    }
}

struct MacdOutputs {
    double* line;
    double* signal;
    double* histogram;
};

// Both EMAs start at index slow - 1: the slow one seeded with the mean of
// the first `slow` values, the fast one with the mean of the `fast` values
// ending there. The signal line is the EMA of the line, seeded with the mean
// of its first `signal` values; all three appear at slow + signal - 2.
void convergence_divergence(const double* x, Py_ssize_t n, Py_ssize_t fast, Py_ssize_t slow, Py_ssize_t signal,
                            MacdOutputs out) {
    // slow and signal are at most n here, so their sum cannot overflow.
    const Py_ssize_t shown = (slow > n || signal > n) ? n : std::min(n, slow + signal - 2);
    std::fill(out.line, out.line + shown, nan);
    std::fill(out.signal, out.signal + shown, nan);
    std::fill(out.histogram, out.histogram + shown, nan);
    if (shown == n) return;
    const double fast_alpha = 2.0 / (static_cast<double>(fast) + 1.0);
    const double slow_alpha = 2.0 / (static_cast<double>(slow) + 1.0);
    const double signal_alpha = 2.0 / (static_cast<double>(signal) + 1.0);
    const Py_ssize_t first = slow - 1;
    double fast_y = mean_of(x + slow - fast, fast);
    double slow_y = mean_of(x, slow);
    double line = fast_y - slow_y;
    double line_sum = line;
    for (Py_ssize_t t = first + 1; t <= shown; ++t) {
        fast_y += fast_alpha * (x[t] - fast_y);
        slow_y += slow_alpha * (x[t] - slow_y);
        line = fast_y - slow_y;
        line_sum += line;
    }
    double signal_y = line_sum / static_cast<double>(signal);
    out.line[shown] = line;
    out.signal[shown] = signal_y;
    out.histogram[shown] = line - signal_y;
    for (Py_ssize_t t = shown + 1; t < n; ++t) {
        fast_y += fast_alpha * (x[t] - fast_y);
        slow_y += slow_alpha * (x[t] - slow_y);
        line = fast_y - slow_y;
        signal_y += signal_alpha * (line - signal_y);
        out.line[t] = line;
        out.signal[t] = signal_y;
        out.histogram[t] = line - signal_y;
    }
}

}  // namespace

extern const char ema_doc[] =
    "ema(x, period, alpha, out, /)\n--\n\n"
    "out[period - 1] = mean of x[0 .. period - 1], then\n"
    "out[t] = out[t - 1] + alpha * (x[t] - out[t - 1]); NaN before.";

PyObject* ema(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t period;
    double alpha;
    if (!check_arg_count("ema", nargs, 4) || !parse_period(args[1], "period", &period) ||
        !parse_smoothing(args[2], &alpha)) {
        return nullptr;
    }
    Float64Buffer x, out;
    if (!x.acquire(args[0], "x", false) || !out.acquire(args[3], "out", true, x.size()) ||
        !check_separate("out", out, x, "x")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    smooth(x.data(), x.size(), period, alpha, out.mutable_data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

extern const char rsi_doc[] =
    "rsi(x, period, out, /)\n--\n\n"
    "Wilder's relative strength index of x, from index period on; NaN before.\n"
    "50 where there are neither gains nor losses.";

PyObject* rsi(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t period;
    if (!check_arg_count("rsi", nargs, 3) || !parse_period(args[1], "period", &period)) return nullptr;
    Float64Buffer x, out;
    if (!x.acquire(args[0], "x", false) || !out.acquire(args[2], "out", true, x.size()) ||
        !check_separate("out", out, x, "x")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    relative_strength(x.data(), x.size(), period, out.mutable_data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

extern const char macd_doc[] =
    "macd(x, fast, slow, signal, line, signal_line, histogram, /)\n--\n\n"
    "MACD line, signal line and histogram of x, from index slow + signal - 2\n"
    "on; NaN before. fast must not exceed slow.";

PyObject* macd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t fast, slow, signal;
    if (!check_arg_count("macd", nargs, 7) || !parse_period(args[1], "fast", &fast) ||
        !parse_period(args[2], "slow", &slow) || !parse_period(args[3], "signal", &signal)) {
        return nullptr;
    }
    if (fast > slow) {
        PyErr_Format(PyExc_ValueError, "fast must not exceed slow, got fast=%zd, slow=%zd", fast, slow);
        return nullptr;
    }
    Float64Buffer x, line, signal_line, histogram;
    if (!x.acquire(args[0], "x", false) || !line.acquire(args[4], "line", true, x.size()) ||
        !signal_line.acquire(args[5], "signal_line", true, x.size()) ||
        !histogram.acquire(args[6], "histogram", true, x.size()) || !check_separate("line", line, x, "x") ||
        !check_separate("signal_line", signal_line, x, "x") ||
        !check_separate("histogram", histogram, x, "x") ||
        !check_separate("signal_line", signal_line, line, "line") ||
        !check_separate("histogram", histogram, line, "line") ||
        !check_separate("histogram", histogram, signal_line, "signal_line")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    convergence_divergence(x.data(), x.size(), fast, slow, signal,
                           {line.mutable_data(), signal_line.mutable_data(), histogram.mutable_data()});
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace indicator_kernels
