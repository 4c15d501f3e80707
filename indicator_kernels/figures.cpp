// The figures of an equity curve that the statistics need, in one pass and
// without the per-bar arrays: the per-bar returns and the benchmark's, their
// moments and co-moment, the downside, the drawdown and its longest run.
//
// numpy would make an array for each of returns, benchmark returns and
// drawdown, and pass over them a dozen times; for a million bars, filling
// fresh memory costs more than the arithmetic (see bench/RESULTS.md).

#include "kernels.hpp"

#include <algorithm>
#include <cmath>

namespace indicator_kernels {

namespace {

struct Figures {
    double mean_r = 0.0, mean_b = 0.0;
    double m2_r = 0.0, m2_b = 0.0, c_rb = 0.0;  // sums of squared and crossed deviations
    double downside = 0.0;                       // the sum of min(r, 0) squared
    bool r_varies = false, b_varies = false;     // whether r (b) takes two values
    double drawdown = 0.0;                       // the lowest E / H - 1
    Py_ssize_t longest = 0;                      // the longest run of E < H
};

// r[t] = E[t] / E[t-1] - 1 (E[-1] = 1; 0 once E[t-1] is 0), and b[t] the
// same of the benchmark curve (B[-1] = B[0]; 0 where B[t] or B[t-1] is NaN).
// The moments are summed about the first values (the shifted sums): as exact
// as a running mean where the mean is large beside the spread, without its
// division per value.
Figures measure(const double* equity, const double* curve, Py_ssize_t n) {
    Figures f;
    if (n == 0) return f;
    // Everything in locals: the result lives where the caller says, which
    // the compiler must assume the inputs may overlap, and would store to
    // at every bar.
    double previous = 1.0, previous_b = curve[0], high = 1.0;
    const double shift_r = equity[0] - 1.0;  // r[0]; b[0] is 0
    double sum_r = 0.0, sum_b = 0.0, sum_rr = 0.0, sum_bb = 0.0, sum_rb = 0.0, downside = 0.0;
    double deepest = 0.0;
    bool r_varies = false, b_varies = false;
    Py_ssize_t run = 0, longest = 0;
    for (Py_ssize_t t = 0; t < n; ++t) {
        const double e = equity[t];
        const double r = previous == 0.0 ? 0.0 : e / previous - 1.0;
        const double b_raw = curve[t] / previous_b - 1.0;
        const double b = std::isnan(b_raw) ? 0.0 : b_raw;
        previous = e;
        previous_b = curve[t];
        const double dr = r - shift_r;
        sum_r += dr;
        sum_b += b;
        sum_rr += dr * dr;
        sum_bb += b * b;
        sum_rb += dr * b;
        // Without a branch: the sign of a return is a coin toss.
        downside += static_cast<double>(r < 0.0) * (r * r);
        r_varies |= dr != 0.0;
        b_varies |= b != 0.0;  // b[0] is 0
        if (e >= high) {
            high = e;
            run = 0;
        } else {
            deepest = std::min(deepest, e / high - 1.0);
            longest = std::max(longest, ++run);
        }
    }
    const double count = static_cast<double>(n);
    f.mean_r = shift_r + sum_r / count;
    f.mean_b = sum_b / count;
    f.m2_r = sum_rr - sum_r * sum_r / count;
    f.m2_b = sum_bb - sum_b * sum_b / count;
    f.c_rb = sum_rb - sum_r * sum_b / count;
    f.downside = downside;
    f.r_varies = r_varies;
    f.b_varies = b_varies;
    f.drawdown = deepest;
    f.longest = longest;
    return f;
}

}  // namespace

extern const char curve_figures_doc[] =
    "curve_figures(equity, benchmark, /)\n--\n\n"
    "The sums the statistics of an equity curve need, in one pass. With r the\n"
    "per-bar returns of equity (r[t] = equity[t] / equity[t-1] - 1, equity[-1] = 1,\n"
    "0 after equity reached 0) and b those of benchmark (b[0] = 0; 0 where a value\n"
    "is NaN), returns (mean r, mean b, sum of (r - mean r)**2, sum of\n"
    "(b - mean b)**2, sum of (r - mean r) * (b - mean b), sum of min(r, 0)**2,\n"
    "whether r takes two values, whether b does, min of equity / running high - 1\n"
    "with the high from 1, longest run of equity below its running high).";

PyObject* curve_figures(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_arg_count("curve_figures", nargs, 2)) return nullptr;
    Float64Buffer equity, benchmark;
    if (!equity.acquire(args[0], "equity", false) || !benchmark.acquire(args[1], "benchmark", false, equity.size())) {
        return nullptr;
    }
    Figures f;
    Py_BEGIN_ALLOW_THREADS
    f = measure(equity.data(), benchmark.data(), equity.size());
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(ddddddNNdn)", f.mean_r, f.mean_b, f.m2_r, f.m2_b, f.c_rb, f.downside,
                         PyBool_FromLong(f.r_varies), PyBool_FromLong(f.b_varies), f.drawdown, f.longest);
}

}  // namespace indicator_kernels
