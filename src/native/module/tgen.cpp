// TGen: a function of n arguments (plain callable or estimator-like object)
// applied to tuples of distinct columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/family_candidates.hpp"
#include "module/registry.hpp"
#include "module/transform_driver.hpp"

#include <string>

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
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    const bool estimator_like = callable_attr(fun, "fit") && callable_attr(fun, "transform");
    store_attributes(self, {{"tgraph", tgraph}, {"apply_all", apply_all},
                            {"transform_type", py::str(estimator_like ? "B" : "A")}, {"fun", fun},
                            {"name", name.is_none() ? fun.attr("__name__") : name}, {"arg_count", arg_count},
                            {"datatypes_list", datatypes_list}, {"feat_constraints_list", feat_constraints_list}});
    if (arg_count < py::int_(1)) {
        raise(PyExc_ValueError, "Need at least 1 argument. Provided " + str(arg_count));
    }
    if (py::int_(py::len(datatypes_list)).not_equal(arg_count) ||
        py::int_(py::len(feat_constraints_list)).not_equal(arg_count)) {
        raise(PyExc_ValueError, "Argument count does not match datatype_list (" +
                                    std::to_string(py::len(datatypes_list)) + ") or fc_list (" +
                                    std::to_string(py::len(feat_constraints_list)) + ")");
    }
    name_object(self, "Tgen-", name);
    return py::none();
}

py::object TGen_all_fc_satisifed(py::object self, py::object fcs, py::object dfc, py::object dfcname) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), fcs, dfc, dfcname));
}

// The names of the tuple's columns, each followed by "___".
py::object TGen_combined_param_name(py::object, py::object candidate_cols_ids, py::object col_names) {
    std::string text;
    for (auto x : candidate_cols_ids) text += str(col_names[x]) + "___";
    return py::str(text);
}

py::object TGen_get_df_from_tuple_of_series(py::object tofseries) { return frame_of_series(tofseries); }

py::object TGen_fit(py::object self, py::object X, py::object, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    choose_candidates(self, X, cols, "candidates_");
    if (py::object(self.attr("transform_type")).equal(py::str("B"))) {
        py::list tobjects;
        self.attr("tobjects_") = tobjects;
        for (auto cand : self.attr("candidates_")) {
            py::list column_params_ids = py::reinterpret_borrow<py::object>(cand);
            py::object tobj = self.attr("get_obj_clone_or_new_class_obj")(self.attr("fun"));
            tobj.attr("fit")(column(X, column_params_ids));
            tobjects.append(tobj);
        }
    }
    return self;
}

struct TGen : FamilyDefaults {
    static constexpr const char* candidates = "candidates_";
    static constexpr Quirks quirks{NameSeed::fitted_then_new, NewOnly::if_true, RecordOrder::dtypes_first,
                                   SplitDtype::of_column, SplitLineage::output_index_param};

    // The argument columns are taken first, for either kind. A plain function (a
    // clone per candidate) reads the private copy; a fitted estimator reads the
    // caller's table, which nothing writes (and which may be a data frame, whose
    // column lookups then fail as they would on it).
    static py::object output(TransformRun& run, py::ssize_t i) {
        if (run.pending.is_none()) run.pending = run.self.attr("transform_type");  // read once per call
        py::object cand = run.candidate(i);
        const bool estimator = run.pending.not_equal(py::str("A"));
        py::object source = estimator ? run.X : run.source();
        py::list column_params;
        for (auto colid : cand) column_params.append(column(source, colid));
        if (estimator) {
            py::list ids(cand);
            return item(run.self.attr("tobjects_"), i).attr("transform")(column(run.X, ids));
        }
        return run.self.attr("get_obj_clone_or_new_class_obj")(run.self.attr("fun"))(*column_params);
    }
    static void place(TransformRun& run, py::ssize_t i, py::object nc) {
        py::object cand = run.candidate(i);
        py::object ncs = output_as_array(std::move(nc), OutputOf::function);
        py::list params;
        for (auto colid : cand) params.append(run.col_as_json_objects_[colid]);
        py::object inner = run.self.attr("combined_param_name")(cand, run.col_names_);
        run.place_output(std::move(ncs), inner, params);
    }
};

}  // namespace

void register_TGen(py::module_& m) {
    FamilyClass<TGen>(m, "TGen", "Generic function transform: an n-argument function or estimator on tuples of columns.")
        .method("__init__",
                "self, fun, name, arg_count, datatypes_list, feat_constraints_list, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TGen_init, "Wrap an arg_count-argument function or estimator; datatypes and constraints per argument."
                KARROW_COLUMN_ARGUMENTS_DOC)
        .transform()
        .descriptor(&TGen_get_candidates_space_descriptor, "One dimension per argument: the ids eligible for it.")
        .candidates(&TGen_get_candidates, "List of the eligible tuples of distinct column ids, first argument slowest.")
        .method("get_candidates_sub", "self, df, current_arg, colids_tuple_list, col_names, col_dtypes",
                &TGen_get_candidates_sub, "Extend every tuple by the eligible ids of argument current_arg, recursively.")
        .method("combined_param_name", "self, candidate_cols_ids, col_names", &TGen_combined_param_name,
                "The names of the tuple's columns, each followed by '___'.")
        .namestr()
        .static_method("get_df_from_tuple_of_series", "tofseries", &TGen_get_df_from_tuple_of_series,
                       "Name the Series '0', '1', ... (in place) and join them side by side into a DataFrame.")
        .fit(&TGen_fit, "Record the input columns, choose candidates_ and fit one clone per candidate of an estimator.")
        .method("all_fc_satisifed", "self, fcs, dfc, dfcname", &TGen_all_fc_satisifed,
                "True unless a constraint of fcs returns the object False for the column.")
        .finish();
}

}  // namespace karrow::module
