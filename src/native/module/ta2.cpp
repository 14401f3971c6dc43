// TA2: one function of two arguments applied to ordered pairs of distinct columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA2_init(py::object self, py::object fun, py::object name, py::object datatypes1,
                    py::object feat_constraints1, py::object datatypes2, py::object feat_constraints2,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
    self.attr("apply_all") = apply_all;
    self.attr("fun") = fun;
    self.attr("tgraph") = tgraph;
    self.attr("name") = name.is_none() ? fun.attr("__name__") : name;
    self.attr("datatypes1") = datatypes1;
    self.attr("datatypes2") = datatypes2;
    self.attr("feat_constraints1") = feat_constraints1.is_none() ? py::object(py::list()) : feat_constraints1;
    self.attr("feat_constraints2") = feat_constraints2.is_none() ? py::object(py::list()) : feat_constraints2;
    self.attr("uid") = make_uid("TA2-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TA2(py::module_& m) {
    ClassBuilder(m, "TA2", py::make_tuple(m.attr("VantorTransformer")),
                 "Binary function transform: applies a two-argument function to ordered pairs of distinct columns.")
        .method("__init__",
                "self, fun, name, datatypes1, feat_constraints1, datatypes2, feat_constraints2, tgraph=None, "
                "apply_all=True, col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA2_init)
        .pending("transform", "self, X, n_jobs=1, return_new_cols_only=False")
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df, col_names, col_dtypes")
        .pending("exec_tr", "self, i, df_")
        .pending("namestr", "self, obj, namespace")
        .pending("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None")
        .pending("all_fc1_satisifed", "self, dfc, dfcname")
        .pending("all_fc2_satisifed", "self, dfc, dfcname")
        .finish();
}

}  // namespace karrow::module
