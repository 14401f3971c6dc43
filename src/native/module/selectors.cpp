// Feature selectors FS1 (F-test scores) and FS2 (estimator importances), the
// column remover FS3 and the Tproxy wrapper around a fitted transform.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

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

py::object FS1_init(py::object self, py::object cols_ids_must_keep, py::object additional_col_count_to_keep,
                    py::object ptype) {
    init_selector(self, "FS1", cols_ids_must_keep, additional_col_count_to_keep, ptype);
    return py::none();
}

py::object FS2_init(py::object self, py::object cols_ids_must_keep, py::object additional_col_count_to_keep,
                    py::object ptype, py::object eval_algo) {
    init_selector(self, "FS2", cols_ids_must_keep, additional_col_count_to_keep, ptype);
    self.attr("eval_algo") = eval_algo;
    return py::none();
}

py::object FS3_init(py::object self, py::object colids_to_remove) {
    self.attr("colids_to_remove") = colids_to_remove;
    return py::none();
}

py::object Tproxy_init(py::object self, py::object trobj) {
    self.attr("trobj") = trobj;
    self.attr("long_name") = trobj.attr("long_name");
    self.attr("uid") = self.attr("long_name");
    self.attr("name") = trobj.attr("name");
    return py::none();
}

}  // namespace

void register_FS1(py::module_& m) {
    ClassBuilder(m, "FS1", py::make_tuple(m.attr("VantorTransformer")),
                 "Keeps must-keep columns plus the best columns by a univariate F-test.")
        .method("__init__", "self, cols_ids_must_keep, additional_col_count_to_keep, ptype", &FS1_init)
        .pending("transform", "self, X, n_jobs=1")
        .pending("fit", "self, X, y")
        .pending("find_k_top_indices", "self, fs_scores")
        .finish();
}

void register_FS2(py::module_& m) {
    ClassBuilder(m, "FS2", py::make_tuple(m.attr("VantorTransformer")),
                 "Keeps must-keep columns plus the best columns by an estimator's feature importances.")
        .method("__init__", "self, cols_ids_must_keep, additional_col_count_to_keep, ptype, eval_algo", &FS2_init)
        .pending("transform", "self, X, n_jobs=1")
        .pending("fit", "self, X, y")
        .pending("find_k_top_indices", "self, fs_scores")
        .finish();
}

void register_FS3(py::module_& m) {
    ClassBuilder(m, "FS3", py::make_tuple(m.attr("VantorTransformer")), "Removes a fixed set of column positions.")
        .method("__init__", "self, colids_to_remove", &FS3_init)
        .pending("fit", "self, X, y")
        .pending("transform", "self, X")
        .finish();
}

void register_Tproxy(py::module_& m) {
    ClassBuilder(m, "Tproxy", py::make_tuple(m.attr("VantorTransformer")),
                 "Wraps an already fitted transform: fit leaves it untouched, transform applies it.")
        .method("__init__", "self, trobj", &Tproxy_init)
        .pending("fit", "self, X, y, col_names, col_dtypes")
        .pending("transform", "self, X, n_jobs=1")
        .finish();
}

}  // namespace karrow::module
