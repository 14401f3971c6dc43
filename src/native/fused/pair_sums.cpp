// Screening sums of binary element-wise candidates without materialising them.
//
// For each candidate pair (i, j) of columns of a column-major block X and the
// residual columns R, pair_sums computes in one pass over the rows
//     s1 = sum_r c_r,   s2 = sum_r c_r^2,   sr[q] = sum_r c_r * R[r, q]
// where c = op(X[:, i], X[:, j]) with the transforms' rule for missing results
// (NaN and +-inf count as 0).  The pairs are split over worker threads; the
// GIL is released while they run, and every argument is checked before that.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

enum class Op { fmin, fmax, multiply, add, subtract, divide };

Op parse_op(const std::string& name) {
    if (name == "fmin") return Op::fmin;
    if (name == "fmax") return Op::fmax;
    if (name == "multiply") return Op::multiply;
    if (name == "add") return Op::add;
    if (name == "subtract") return Op::subtract;
    if (name == "true_divide") return Op::divide;
    throw std::invalid_argument("unsupported operation '" + name + "'");
}

template <Op op>
inline double apply(double a, double b) {
    if constexpr (op == Op::fmin) return std::fmin(a, b);
    if constexpr (op == Op::fmax) return std::fmax(a, b);
    if constexpr (op == Op::multiply) return a * b;
    if constexpr (op == Op::add) return a + b;
    if constexpr (op == Op::subtract) return a - b;
    return a / b;
}

struct Task {
    const double* x;
    const double* r;
    const std::int64_t* first;
    const std::int64_t* second;
    double* s1;
    double* s2;
    double* sr;
    std::size_t rows, k;
};

// With finite inputs a minimum or maximum is finite and needs no NaN rule, so the plain comparison
// (which the compiler can vectorise) gives the same result as fmin / fmax.
template <Op op>
inline double apply_finite(double a, double b) {
    if constexpr (op == Op::fmin) return a < b ? a : b;
    if constexpr (op == Op::fmax) return a > b ? a : b;
    return apply<op>(a, b);
}

template <Op op, bool finite>
void run_range(const Task& t, std::size_t lo, std::size_t hi) {
    std::vector<double> acc(t.k);
    for (std::size_t m = lo; m < hi; ++m) {
        const double* a = t.x + static_cast<std::size_t>(t.first[m]) * t.rows;
        const double* b = t.x + static_cast<std::size_t>(t.second[m]) * t.rows;
        double sum = 0.0, sq = 0.0;
        if (finite && t.k == 1) {
            double cr = 0.0;
            for (std::size_t row = 0; row < t.rows; ++row) {
                const double c = apply_finite<op>(a[row], b[row]);
                sum += c;
                sq += c * c;
                cr += c * t.r[row];
            }
            t.s1[m] = sum;
            t.s2[m] = sq;
            t.sr[m] = cr;
            continue;
        }
        std::fill(acc.begin(), acc.end(), 0.0);
        for (std::size_t row = 0; row < t.rows; ++row) {
            double c = finite ? apply_finite<op>(a[row], b[row]) : apply<op>(a[row], b[row]);
            if (!finite && !std::isfinite(c)) c = 0.0;
            sum += c;
            sq += c * c;
            for (std::size_t q = 0; q < t.k; ++q) acc[q] += c * t.r[q * t.rows + row];
        }
        t.s1[m] = sum;
        t.s2[m] = sq;
        for (std::size_t q = 0; q < t.k; ++q) t.sr[m * t.k + q] = acc[q];
    }
}

template <Op op, bool finite>
void run_finite(const Task& t, std::size_t pairs, std::size_t threads) {
    threads = std::max<std::size_t>(1, std::min(threads, pairs));
    if (threads == 1) {
        run_range<op, finite>(t, 0, pairs);
        return;
    }
    std::vector<std::thread> workers;
    const std::size_t step = (pairs + threads - 1) / threads;
    for (std::size_t w = 0; w < threads; ++w) {
        const std::size_t lo = w * step, hi = std::min(pairs, lo + step);
        if (lo < hi) workers.emplace_back([&t, lo, hi] { run_range<op, finite>(t, lo, hi); });
    }
    for (auto& w : workers) w.join();
}

// Minima and maxima of finite columns are finite: the per-value check is only needed otherwise.
template <Op op>
void run(const Task& t, std::size_t pairs, std::size_t threads, bool finite) {
    if (finite && (op == Op::fmin || op == Op::fmax))
        run_finite<op, true>(t, pairs, threads);
    else
        run_finite<op, false>(t, pairs, threads);
}

bool all_finite(const double* x, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

using FArray = py::array_t<double, py::array::f_style>;
using IArray = py::array_t<std::int64_t, py::array::c_style>;

py::tuple pair_sums(const FArray& x, const IArray& first, const IArray& second, const FArray& r,
                    const std::string& op_name, int threads) {
    const Op op = parse_op(op_name);
    if (x.ndim() != 2 || r.ndim() != 2) throw std::invalid_argument("x and r must be 2-d arrays");
    if (first.ndim() != 1 || second.ndim() != 1 || first.shape(0) != second.shape(0))
        throw std::invalid_argument("first and second must be 1-d arrays of the same length");
    if (r.shape(0) != x.shape(0)) throw std::invalid_argument("x and r must have the same number of rows");
    if (!(x.flags() & py::array::f_style) || !(r.flags() & py::array::f_style))
        throw std::invalid_argument("x and r must be column-major");
    const auto rows = static_cast<std::size_t>(x.shape(0));
    const auto cols = x.shape(1);
    const auto pairs = static_cast<std::size_t>(first.shape(0));
    const auto k = static_cast<std::size_t>(r.shape(1));
    const std::int64_t* f = first.data();
    const std::int64_t* s = second.data();
    for (std::size_t m = 0; m < pairs; ++m)
        if (f[m] < 0 || f[m] >= cols || s[m] < 0 || s[m] >= cols)
            throw std::out_of_range("column index out of range");
    py::array_t<double> s1(static_cast<py::ssize_t>(pairs)), s2(static_cast<py::ssize_t>(pairs));
    py::array_t<double> sr({static_cast<py::ssize_t>(pairs), static_cast<py::ssize_t>(k)});
    Task t{x.data(), r.data(), f, s, s1.mutable_data(), s2.mutable_data(), sr.mutable_data(), rows, k};
    const auto n_threads = static_cast<std::size_t>(std::max(1, threads));
    {
        py::gil_scoped_release release;
        const bool finite = all_finite(x.data(), rows * static_cast<std::size_t>(cols));
        switch (op) {
            case Op::fmin: run<Op::fmin>(t, pairs, n_threads, finite); break;
            case Op::fmax: run<Op::fmax>(t, pairs, n_threads, finite); break;
            case Op::multiply: run<Op::multiply>(t, pairs, n_threads, finite); break;
            case Op::add: run<Op::add>(t, pairs, n_threads, finite); break;
            case Op::subtract: run<Op::subtract>(t, pairs, n_threads, finite); break;
            case Op::divide: run<Op::divide>(t, pairs, n_threads, finite); break;
        }
    }
    return py::make_tuple(s1, s2, sr);
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
    m.doc() = "Fused screening sums of binary element-wise candidates (karrow_libs.search).";
    m.def("pair_sums", &pair_sums, py::arg("x"), py::arg("first"), py::arg("second"), py::arg("r"),
          py::arg("op"), py::arg("threads") = 1,
          "pair_sums(x, first, second, r, op, threads=1) -> (s1, s2, sr)\n\n"
          "For column pairs (first[m], second[m]) of the column-major float64 block x and the column-major\n"
          "residual block r: sum, sum of squares and cross-products with r of c = op(x[:, i], x[:, j]),\n"
          "with NaN and infinite values of c counted as 0. op: 'fmin', 'fmax', 'multiply', 'add',\n"
          "'subtract' or 'true_divide'. The pairs are split over `threads` threads, without the GIL.");
}
