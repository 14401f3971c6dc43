// TGen: a function of n arguments (plain callable or estimator-like object)
// applied to tuples of distinct columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

bool callable_attr(py::handle obj, const char* name) {
    py::object member = py::getattr(obj, name, py::none());
    return PyCallable_Check(member.ptr()) == 1;
}

py::object TGen_init(py::object self, py::object fun, py::object name, py::object arg_count,
                     py::object datatypes_list, py::object feat_constraints_list, py::object tgraph,
                     py::object apply_all, py::object col_names, py::object col_dtypes,
                     py::object col_as_json_objects) {
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
    self.attr("tgraph") = tgraph;
    self.attr("apply_all") = apply_all;
    const bool estimator_like = callable_attr(fun, "fit") && callable_attr(fun, "transform");
    self.attr("transform_type") = py::str(estimator_like ? "B" : "A");
    self.attr("fun") = fun;
    self.attr("name") = name.is_none() ? fun.attr("__name__") : name;
    self.attr("arg_count") = arg_count;
    self.attr("datatypes_list") = datatypes_list;
    self.attr("feat_constraints_list") = feat_constraints_list;
    if (arg_count < py::int_(1)) {
        raise(PyExc_ValueError, "Need at least 1 argument. Provided " + str(arg_count));
    }
    if (py::int_(py::len(datatypes_list)).not_equal(arg_count) ||
        py::int_(py::len(feat_constraints_list)).not_equal(arg_count)) {
        raise(PyExc_ValueError, "Argument count does not match datatype_list (" +
                                    std::to_string(py::len(datatypes_list)) + ") or fc_list (" +
                                    std::to_string(py::len(feat_constraints_list)) + ")");
    }
    self.attr("uid") = make_uid("Tgen-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

}  // namespace

void register_TGen(py::module_& m) {
    ClassBuilder(m, "TGen", py::make_tuple(m.attr("VantorTransformer")),
                 "Generic function transform: applies an n-argument function or estimator to tuples of distinct columns.")
        .method("__init__",
                "self, fun, name, arg_count, datatypes_list, feat_constraints_list, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TGen_init)
        .pending("transform", "self, X, n_jobs=1, return_new_cols_only=False")
        .pending("get_candidates_space_descriptor", "self, df, col_names, col_dtypes")
        .pending("get_candidates", "self, df, col_names, col_dtypes")
        .pending("get_candidates_sub", "self, df, current_arg, colids_tuple_list, col_names, col_dtypes")
        .pending("combined_param_name", "self, candidate_cols_ids, col_names")
        .pending("namestr", "self, obj, namespace")
        .pending("get_df_from_tuple_of_series", "tofseries", true)
        .pending("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None")
        .pending("all_fc_satisifed", "self, fcs, dfc, dfcname")
        .finish();
}

}  // namespace karrow::module
