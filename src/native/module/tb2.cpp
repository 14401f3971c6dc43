// TB2: estimators fitted per ordered pair of columns of a data frame.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TB2_init(py::object self, py::object tans_class, py::object name, py::object datatypes1,
                    py::object feat_constraints1, py::object datatypes2, py::object feat_constraints2,
                    py::object tgraph, py::object apply_all) {
    self.attr("apply_all") = apply_all;
    self.attr("tgraph") = tgraph;
    self.attr("tans_class") = tans_class;
    self.attr("name") = name.is_none() ? tans_class.attr("__class__").attr("__name__") : name;
    self.attr("datatypes1") = datatypes1;
    self.attr("datatypes2") = datatypes2;
    self.attr("feat_constraints1") = feat_constraints1.is_none() ? py::object(py::list()) : feat_constraints1;
    self.attr("feat_constraints2") = feat_constraints2.is_none() ? py::object(py::list()) : feat_constraints2;
    self.attr("uid") = make_uid("TB2-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TB2(py::module_& m) {
    ClassBuilder(m, "TB2", py::make_tuple(m.attr("VantorTransformer")),
                 "Binary estimator transform over a data frame: one estimator per ordered pair of column labels.")
        .method("__init__",
                "self, tans_class, name, datatypes1, feat_constraints1, datatypes2, feat_constraints2, tgraph=None, "
                "apply_all=True",
                &TB2_init)
        .pending("tansform", "self, X, n_jobs=1, return_new_cols_only=False")
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df")
        .pending("namestr", "self, obj, namespace")
        .pending("fit", "self, X, y")
        .pending("all_fc1_satisifed", "self, dfc")
        .pending("all_fc2_satisifed", "self, dfc")
        .pending("exec_tr", "self, i, df_")
        .finish();
}

}  // namespace karrow::module
