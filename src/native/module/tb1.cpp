// TB1: one fresh estimator per eligible column.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object class_name_of(py::handle obj) { return obj.attr("__class__").attr("__name__"); }

py::object TB1_init(py::object self, py::object tans_class, py::object name, py::object datatypes,
                    py::object feat_constraints, py::object tgraph, py::object apply_all, py::object col_names,
                    py::object col_dtypes, py::object col_as_json_objects) {
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
    self.attr("tans_class") = tans_class;
    self.attr("tgraph") = tgraph;
    self.attr("apply_all") = apply_all;
    self.attr("name") = name.is_none() ? class_name_of(tans_class) : name;
    self.attr("datatypes") = datatypes;
    self.attr("feat_constraints") = feat_constraints.is_none() ? py::object(py::list()) : feat_constraints;
    self.attr("uid") = make_uid("TB1-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TB1(py::module_& m) {
    ClassBuilder(m, "TB1", py::make_tuple(m.attr("VantorTransformer")),
                 "Unary estimator transform: fits one fresh estimator per eligible column and appends its outputs.")
        .method("__init__",
                "self, tans_class, name, datatypes, feat_constraints, tgraph=None, apply_all=True, col_names=None, "
                "col_dtypes=None, col_as_json_objects=None",
                &TB1_init)
        .pending("transform", "self, X, n_jobs=1, return_new_cols_only=False")
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df, col_names, col_dtypes")
        .pending("namestr", "self, obj, namespace")
        .pending("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None")
        .pending("all_fc_satisifed", "self, dfc, dfcname")
        .pending("exec_tr", "self, i, df_")
        .finish();
}

}  // namespace karrow::module
