// TAM: one estimator fitted on the whole table.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TAM_init(py::object self, py::object tans_class, py::object name, py::object tgraph, py::object apply_all,
                    py::object col_names, py::object col_dtypes, py::object col_as_json_objects) {
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
    self.attr("apply_all") = apply_all;
    self.attr("tgraph") = tgraph;
    self.attr("tans_class") = tans_class;
    self.attr("name") = name.is_none() ? tans_class.attr("__class__").attr("__name__") : name;
    self.attr("uid") = make_uid("TAM-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TAM(py::module_& m) {
    ClassBuilder(m, "TAM", py::make_tuple(m.attr("VantorTransformer")),
                 "Whole-frame estimator transform: one estimator fitted on all columns, its outputs appended.")
        .method("__init__",
                "self, tans_class, name, tgraph=None, apply_all=True, col_names=None, col_dtypes=None, "
                "col_as_json_objects=None",
                &TAM_init)
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df, col_names, col_dtypes")
        .pending("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None")
        .pending("transform", "self, X, n_jobs=1, return_new_cols_only=False")
        .finish();
}

}  // namespace karrow::module
