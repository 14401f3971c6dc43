// TA1: one element-wise function applied to single columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA1_init(py::object self, py::object fun, py::object name, py::object datatypes, py::object feat_constraints,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    self.attr("fun") = fun;
    self.attr("tgraph") = tgraph;
    self.attr("apply_all") = apply_all;
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
    self.attr("name") = name;
    self.attr("datatypes") = datatypes;
    self.attr("feat_constraints") = feat_constraints;
    if (name.is_none()) self.attr("name") = fun.attr("__name__");
    if (feat_constraints.is_none()) self.attr("feat_constraints") = py::list();
    self.attr("uid") = make_uid("TA1-", self.attr("name"));
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TA1(py::module_& m) {
    ClassBuilder(m, "TA1", py::make_tuple(m.attr("VantorTransformer")),
                 "Unary function transform: applies one element-wise function to each eligible column.")
        .method("__init__",
                "self, fun, name=None, datatypes=None, feat_constraints=None, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA1_init)
        .pending("transform", "self, X, n_jobs=1, return_new_cols_only=False")
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df, col_names, col_dtypes")
        .pending("namestr", "self, obj, namespace")
        .pending("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None")
        .pending("all_fc_satisifed", "self, dfc, col_name")
        .pending("exec_tr", "self, colid, df_")
        .finish();
}

}  // namespace karrow::module
