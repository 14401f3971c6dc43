// Feature selectors FS1 (F-test scores) and FS2 (estimator importances), the
// column remover FS3 and the Tproxy wrapper around a fitted transform.
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "core/top_k.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;
using namespace pybind11::literals;

namespace {

void init_selector(py::object self, const char* name, py::object cols_ids_must_keep,
                   py::object additional_col_count_to_keep, py::object ptype) {
    self.attr("long_name") = make_uid(std::string(name) + "-");
    self.attr("uid") = self.attr("long_name");
    self.attr("name") = py::str(name);
    self.attr("additional_col_count_to_keep") = additional_col_count_to_keep;
    self.attr("cols_ids_must_keep") = cols_ids_must_keep;
    self.attr("ptype") = ptype;
}

// k_: a count (a >= 1, kept as given, so range() judges it), a fraction of the
// columns that are not must-keep, or the number of scores above their mean.
// `scores` is only read in the automatic case.
py::object additional_count(py::object self, py::object X, const std::function<py::object()>& scores) {
    py::object a = self.attr("additional_col_count_to_keep");
    if (py_compare(a, py::int_(1), Py_GE)) return a;
    if (py_compare(py::int_(0), a, Py_LT) && py_compare(a, py::int_(1), Py_LT)) {
        py::object others = py::object(X.attr("shape")[py::int_(1)]) - py::int_(py::len(self.attr("cols_ids_must_keep")));
        return H().builtins.attr("int")(others * a);
    }
    py::object s = scores();
    py::object mean = H().np.attr("mean")(s);
    return H().builtins.attr("int")(H().np.attr("count_nonzero")(H().np.attr("greater")(s, mean)));
}

// [0 if numpy.isnan(s) else s for s in scores]
py::list nan_scores_as_zero(py::object scores) {
    py::list out;
    py::object isnan = H().np.attr("isnan");
    for (py::handle s : scores) {
        if (truthy(isnan(s))) {
            out.append(py::int_(0));
        } else {
            out.append(s);
        }
    }
    return out;
}

// The scores as doubles when comparing the doubles gives exactly Python's
// answers for every pair of them; false otherwise (arbitrary objects, ints
// beyond 2**53, float subclasses of our own, ...). numpy compares a float32
// scalar with a Python number after rounding the number to float32, so float32
// scores are accepted only beside Python numbers that float32 holds exactly.
bool scores_as_doubles(const py::list& ind, std::vector<double>& out) {
    PyObject* const f64 = H().np.attr("float64").ptr();
    PyObject* const f32 = H().np.attr("float32").ptr();
    constexpr long long exact_int_limit = 1LL << 53;
    bool has_f32 = false;
    bool python_numbers_fit_f32 = true;
    out.clear();
    out.reserve(py::len(ind));
    for (py::handle item : ind) {
        PyObject* o = item.ptr();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
        double d = 0.0;
        bool python_number = false;
        if (PyFloat_CheckExact(o)) {
            d = PyFloat_AS_DOUBLE(o);
            python_number = true;
        } else if (PyLong_CheckExact(o) || PyBool_Check(o)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow != 0 || v > exact_int_limit || v < -exact_int_limit) return false;
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            d = static_cast<double>(v);
            python_number = true;
        } else if (type == f64 || type == f32) {
            d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            has_f32 = has_f32 || type == f32;
        } else {
            return false;
        }
        if (python_number && !std::isnan(d) && static_cast<double>(static_cast<float>(d)) != d) {
            python_numbers_fit_f32 = false;
        }
        out.push_back(d);
    }
    return !has_f32 || python_numbers_fit_f32;
}

// The pick with Python's own max() over (position, score) pairs; used whenever
// the scores are not plain numbers, so that every comparison and every error
// is Python's.
void pick_with_python_max(py::list ind, py::object rounds, py::list cols) {
    py::object neg_inf = py::float_(-INFINITY);
    py::object second = H().operator_.attr("itemgetter")(1);
    for (py::handle ignored : rounds) {
        (void)ignored;
        py::tuple best = H().builtins.attr("max")(H().builtins.attr("enumerate")(ind), "key"_a = second);
        py::object max_index = best[0];
        py::object max_value = best[1];
        if (py_eq(max_value, neg_inf)) break;
        cols.append(max_index);
        ind[max_index] = neg_inf;
    }
}

py::object FS_find_k_top_indices(py::object self, py::object fs_scores) {
    py::list ind = new_list(fs_scores);
    py::list cols;
    self.attr("cols_to_keep_final_") = cols;
    py::object must_keep = self.attr("cols_ids_must_keep");
    py::object neg_inf = py::float_(-INFINITY);
    const std::size_t must_keep_count = py::len(must_keep);
    for (std::size_t i = 0; i < must_keep_count; ++i) {
        py::object c = must_keep[py::int_(i)];
        cols.append(c);
        ind[c] = neg_inf;
    }
    py::object rounds = py_range(py::int_(0), self.attr("k_"));
    std::vector<double> values;
    const std::size_t n = py::len(ind);
    // An empty score list makes max() raise as soon as one round runs; only
    // Python's max can say how.
    const py::object stop = rounds.attr("stop");
    const bool any_round = py_compare(stop, py::int_(0), Py_GT);
    if ((n == 0 && any_round) || !scores_as_doubles(ind, values)) {
        pick_with_python_max(ind, rounds, cols);
    } else if (any_round) {
        // Beyond n rounds every score is -inf (or an untakeable NaN): the loop has stopped.
        const std::size_t count = py_compare(stop, py::int_(n), Py_GT) ? n : stop.cast<std::size_t>();
        for (std::size_t pos : core::greedy_top_k(values.data(), n, count)) cols.append(py::int_(pos));
    }
    cols.attr("sort")();
    return py::none();
}

// X[:, cols_to_keep_final_], reporting a failed selection before re-raising.
// `cols_in_base_ds_` (the columns of the data set the selector was fitted on)
// is never set here: an enclosing component may set it to complete FS1's
// report. Without it, FS1's fourth line fails with AttributeError, and that
// error is what the caller sees.
py::object select_kept_columns(py::object self, py::object X, bool report_base_columns) {
    try {
        return column(X, self.attr("cols_to_keep_final_"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        try {
            binding::print(py::str("Error in executing FS" + str(e.value())));
            binding::print(py::str("columns to keep" + str(self.attr("cols_to_keep_final_"))));
            binding::print(py::str("# of columns in df : " + str(X.attr("shape")[py::int_(1)])));
            if (report_base_columns) {
                binding::print(py::str("columns in fit  df : " +
                              str(H().builtins.attr("set")(self.attr("cols_in_base_ds_")))));
            }
        } catch (py::error_already_set& raised) {
            rethrow_in_handler(raised, e);
        }
        throw;
    }
}

py::object FS1_init(py::object self, py::object cols_ids_must_keep, py::object additional_col_count_to_keep,
                    py::object ptype) {
    init_selector(self, "FS1", cols_ids_must_keep, additional_col_count_to_keep, ptype);
    return py::none();
}

py::object FS1_transform(py::object self, py::object X, py::object /*n_jobs*/) {
    return select_kept_columns(self, X, true);
}

py::object FS1_fit(py::object self, py::object X, py::object y) {
    const char* test = py_eq(self.attr("ptype"), py::str("classification")) ? "f_classif" : "f_regression";
    py::object skb = H().module.attr("SelectKBest")(H().module.attr(test), "k"_a = "all");
    skb.attr("fit")(X, y);
    // The automatic count is taken on the scores as the test gave them: a NaN
    // score makes the mean NaN, and nothing is above it.
    self.attr("k_") = additional_count(self, X, [&skb] { return skb.attr("scores_"); });
    if (truthy(H().np.attr("isnan")(skb.attr("scores_")).attr("any")())) {
        skb.attr("scores_") = nan_scores_as_zero(skb.attr("scores_"));
    }
    self.attr("find_k_top_indices")(skb.attr("scores_"));
    return self;
}

py::object FS2_init(py::object self, py::object cols_ids_must_keep, py::object additional_col_count_to_keep,
                    py::object ptype, py::object eval_algo) {
    init_selector(self, "FS2", cols_ids_must_keep, additional_col_count_to_keep, ptype);
    self.attr("eval_algo") = eval_algo;
    return py::none();
}

py::object FS2_transform(py::object self, py::object X, py::object /*n_jobs*/) {
    return select_kept_columns(self, X, false);
}

py::object FS2_fit(py::object self, py::object X, py::object y) {
    py::object eval_algo = self.attr("eval_algo");
    // The caller's estimator is never fitted: a class gets a fresh seeded
    // instance, an object is deep-copied.
    if (truthy(H().inspect.attr("isclass")(eval_algo))) {
        self.attr("eval_algo_") = eval_algo("random_state"_a = 7);
    } else {
        self.attr("eval_algo_") = H().copy.attr("deepcopy")(eval_algo);
    }
    self.attr("eval_algo_").attr("fit")(X, y);
    self.attr("k_") = additional_count(
        self, X, [&self] { return self.attr("eval_algo_").attr("feature_importances_"); });
    self.attr("find_k_top_indices")(self.attr("eval_algo_").attr("feature_importances_"));
    py::delattr(self, "eval_algo_");
    return self;
}

py::object FS3_init(py::object self, py::object colids_to_remove) {
    self.attr("colids_to_remove") = colids_to_remove;
    return py::none();
}

py::object FS3_fit(py::object self, py::object /*X*/, py::object /*y*/) { return self; }

py::object FS3_transform(py::object self, py::object X) {
    py::list columns = new_list(py_range(py::int_(0), item(X.attr("shape"), 1)));
    for (py::handle x : new_list(self.attr("colids_to_remove"))) columns.attr("remove")(x);
    return column(X, columns);
}

py::object Tproxy_init(py::object self, py::object trobj) {
    self.attr("trobj") = trobj;
    self.attr("long_name") = trobj.attr("long_name");
    self.attr("uid") = self.attr("long_name");
    self.attr("name") = trobj.attr("name");
    return py::none();
}

py::object Tproxy_fit(py::object self, py::object /*X*/, py::object /*y*/, py::object /*col_names*/,
                      py::object /*col_dtypes*/) {
    return self;
}

py::object Tproxy_transform(py::object self, py::object X, py::object /*n_jobs*/) {
    // The wrapped transform runs with its own defaults: only X is passed on.
    py::object trobj = self.attr("trobj");
    py::object Xtr = trobj.attr("transform")(X);
    self.attr("new_column_names_") = trobj.attr("new_column_names_");
    self.attr("new_column_dtypes_") = trobj.attr("new_column_dtypes_");
    self.attr("new_column_as_json_objects_") = trobj.attr("new_column_as_json_objects_");
    return Xtr;
}

constexpr const char* kFindDoc =
    "Keep the must-keep columns, then pick k_ more by score, highest first (the lower position wins "
    "among equal scores, as Python's max does; a NaN in position 0 is taken first, other NaNs never). "
    "Stops early when only -inf is left. Sets cols_to_keep_final_, sorted ascending; returns None.";

}  // namespace

void register_FS1(py::module_& m) {
    ClassBuilder(m, "FS1", py::make_tuple(m.attr("VantorTransformer")),
                 "Keeps must-keep columns plus the best columns by a univariate F-test.")
        .method("__init__", "self, cols_ids_must_keep, additional_col_count_to_keep, ptype", &FS1_init,
                "Keep cols_ids_must_keep plus additional_col_count_to_keep (count, fraction, or <= 0 for above-mean) best F-test columns; ptype 'classification' or other.")
        .method("transform", "self, X, n_jobs=1", &FS1_transform,
                "X[:, cols_to_keep_final_]. A failing selection prints four diagnostic lines and is re-raised; "
                "the fourth reads cols_in_base_ds_, which an enclosing component may set (nothing here does).")
        .method("fit", "self, X, y", &FS1_fit,
                "Score the columns with SelectKBest (f_classif for ptype 'classification', f_regression "
                "otherwise), set k_ (a count >= 1, a fraction in (0, 1) of the other columns, or the number "
                "of scores above their mean), count NaN scores as 0 and pick the columns. Returns self.")
        .method("find_k_top_indices", "self, fs_scores", &FS_find_k_top_indices, kFindDoc)
        .finish();
}

void register_FS2(py::module_& m) {
    ClassBuilder(m, "FS2", py::make_tuple(m.attr("VantorTransformer")),
                 "Keeps must-keep columns plus the best columns by an estimator's feature importances.")
        .method("__init__", "self, cols_ids_must_keep, additional_col_count_to_keep, ptype, eval_algo", &FS2_init,
                "As FS1, ranked by eval_algo's feature_importances_ (an estimator class, built with random_state=7, or an object, deep-copied).")
        .method("transform", "self, X, n_jobs=1", &FS2_transform,
                "X[:, cols_to_keep_final_]. A failing selection prints three diagnostic lines and is re-raised.")
        .method("fit", "self, X, y", &FS2_fit,
                "Fit eval_algo(random_state=7) (a class) or a deep copy of eval_algo (an object) as eval_algo_, "
                "set k_ as FS1 does from its feature_importances_, pick the columns, delete eval_algo_. "
                "Returns self.")
        .method("find_k_top_indices", "self, fs_scores", &FS_find_k_top_indices, kFindDoc)
        .finish();
}

void register_FS3(py::module_& m) {
    ClassBuilder(m, "FS3", py::make_tuple(m.attr("VantorTransformer")), "Removes a fixed set of column positions.")
        .method("__init__", "self, colids_to_remove", &FS3_init,
                "Remove the given column positions.")
        .method("fit", "self, X, y", &FS3_fit, "Return self.")
        .method("transform", "self, X", &FS3_transform,
                "X without the columns at colids_to_remove (ValueError from list.remove for a position "
                "that is not a column of X).")
        .finish();
}

void register_Tproxy(py::module_& m) {
    ClassBuilder(m, "Tproxy", py::make_tuple(m.attr("VantorTransformer")),
                 "Wraps an already fitted transform: fit leaves it untouched, transform applies it.")
        .method("__init__", "self, trobj", &Tproxy_init,
                "Wrap an already fitted transform; copies its long_name and name.")
        .method("fit", "self, X, y, col_names, col_dtypes", &Tproxy_fit, "Return self; trobj is not fitted again.")
        .method("transform", "self, X, n_jobs=1", &Tproxy_transform,
                "trobj.transform(X), then copy its new_column_names_, new_column_dtypes_ and "
                "new_column_as_json_objects_.")
        .finish();
}

}  // namespace karrow::module
