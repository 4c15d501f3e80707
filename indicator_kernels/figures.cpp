// The figures of an equity curve that the statistics need, in one pass and
// without the per-bar arrays: the per-bar returns and the benchmark's, their
// moments and co-moment, the downside, the drawdown and its longest run; and
// the per-block power sums of the returns that judge a search.
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

// Sums of 1, r, r^2, r^3 and r^4 per block, r the per-bar returns of equity
// as measure() reads them: blocks of n / blocks returns, then the rest. Each
// block adds its values in runs of kRun, so that rounding grows with the
// number of runs, not of values (pairwise summation's gain at no cost).
constexpr Py_ssize_t kRun = 256;

void power_sums(const double* equity, Py_ssize_t n, Py_ssize_t blocks, double* out) {
    const Py_ssize_t length = n / blocks;
    double previous = 1.0;
    for (Py_ssize_t row = 0; row <= blocks; ++row) {
        const Py_ssize_t begin = row * length;
        const Py_ssize_t end = row < blocks ? begin + length : n;
        double s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;
        for (Py_ssize_t start = begin; start < end; start += kRun) {
            const Py_ssize_t stop = std::min(end, start + kRun);
            double r1 = 0.0, r2 = 0.0, r3 = 0.0, r4 = 0.0;
            for (Py_ssize_t t = start; t < stop; ++t) {
                const double e = equity[t];
                const double r = previous == 0.0 ? 0.0 : e / previous - 1.0;
                previous = e;
                const double square = r * r;
                r1 += r;
                r2 += square;
                r3 += square * r;
                r4 += square * square;
            }
            s1 += r1;
            s2 += r2;
            s3 += r3;
            s4 += r4;
        }
        double* sums = out + 5 * row;
        sums[0] = static_cast<double>(end - begin);
        sums[1] = s1;
        sums[2] = s2;
        sums[3] = s3;
        sums[4] = s4;
    }
}

}  // namespace

extern const char curve_block_sums_doc[] =
    "curve_block_sums(equity, blocks, out, /)\n--\n\n"
    "Per-block sums of the per-bar returns r of equity (as curve_figures reads\n"
    "them) into out, (blocks + 1) * 5 values: for each of blocks blocks of\n"
    "len(equity) // blocks returns, then for the returns after the last block,\n"
    "(count, sum r, sum r**2, sum r**3, sum r**4).";

PyObject* curve_block_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_arg_count("curve_block_sums", nargs, 3)) return nullptr;
    Float64Buffer equity, out;
    Py_ssize_t blocks = 0;
    if (!equity.acquire(args[0], "equity", false) || !parse_int(args[1], "blocks", 1, &blocks)) {
        return nullptr;
    }
    if (blocks > PY_SSIZE_T_MAX / 5 - 1) {
        PyErr_SetString(PyExc_ValueError, "blocks is too large");
        return nullptr;
    }
    if (!out.acquire(args[2], "out", true, (blocks + 1) * 5) || !check_separate("out", out, equity, "equity")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    power_sums(equity.data(), equity.size(), blocks, out.mutable_data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

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
