// TA1: one element-wise function applied to single columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"
#include "module/transform_driver.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA1_init(py::object self, py::object fun, py::object name, py::object datatypes, py::object feat_constraints,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    store_attributes(self, {{"fun", fun}, {"tgraph", tgraph}, {"apply_all", apply_all}, {"col_names", col_names},
                            {"col_dtypes", col_dtypes}, {"col_as_json_objects", col_as_json_objects},
                            {"name", name.is_none() ? fun.attr("__name__") : name}, {"datatypes", datatypes},
                            {"feat_constraints", or_empty_list(feat_constraints)}});
    name_object(self, "TA1-", self.attr("name"));
    return py::none();
}

// The eligible column ids of df, ascending; a failing dtype lookup is reported.
py::list eligible(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    return eligible_colids(self, "datatypes", "all_fc_satisifed", df, item(df.attr("shape"), 1), col_names,
                           col_dtypes, OnDtypeError::report);
}

// The function on column colid of df_, shaped (rows, 1), NaN and infinities replaced.
py::object TA1_exec_tr(py::object self, py::object colid, py::object df_) {
    return replace_nan_and_inf(with_trailing_axis(self.attr("fun")(column(df_, colid))));
}

struct TA1 : FamilyDefaults {
    static constexpr const char* candidates = "colids_";
    static constexpr Quirks quirks{NameSeed::new_then_fitted, NewOnly::if_true, RecordOrder::names_first,
                                   SplitDtype::of_column, SplitLineage::output_index_param, Measure::iterate};
    static constexpr Pool pool = Pool::candidates;

    static bool refuse(const py::object& self, const py::object& X) {
        bare_assert(is_ndarray(X));
        return refuses_width(self, X);
    }
    static py::object output(TransformRun& run, py::ssize_t i) {
        return TA1_exec_tr(run.self, run.candidate(i), run.source_for(run.self.attr("fun")));
    }
    // Without a column the new part is an empty float32 block; numpy joins the
    // blocks before any column is named.
    static void before_naming(TransformRun& run) {
        if (run.out.blocks() == 0) {
            run.add(H().np.attr("empty")(py::make_tuple(item(run.X.attr("shape"), 0), 0), H().np.attr("float32")));
        }
        run.out.join_new();
    }
    static void describe(TransformRun& run, py::ssize_t i) {
        py::object colid = run.candidate(i);
        py::object base = run.col_names_[colid];
        py::list params;
        params.append(run.col_as_json_objects_[colid]);
        run.name_column(call_name(run.name, py::str(base)), expression_json(run.name, params));
    }
};

py::object TA1_fit(py::object self, py::object X, py::object, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    if (is_true(self.attr("apply_all"))) {
        choose_candidates(self, X, cols, "colids_");
        return self;
    }
    return single_column(self, X) ? self : py::none();
}

}  // namespace

void register_TA1(py::module_& m) {
    FamilyClass<TA1>(m, "TA1", "Unary function transform: applies one element-wise function to each eligible column.")
        .method("__init__",
                "self, fun, name=None, datatypes=None, feat_constraints=None, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA1_init, "Wrap an element-wise function; datatypes are family or dtype names."
                KARROW_COLUMN_ARGUMENTS_DOC)
        .transform()
        .descriptor(&one_dimension_descriptor<eligible>, "One dimension: the ids of the eligible columns.")
        .candidates(&checked_candidates<eligible>, "List of the eligible column ids, ascending.")
        .namestr()
        .fit(&TA1_fit, "Record the input columns' names, dtypes and JSON name objects and choose colids_.")
        .method("all_fc_satisifed", "self, dfc, col_name", &constraints_method<kFeatConstraints>,
                "True unless a feature constraint returns the object False for the column.")
        .method("exec_tr", "self, colid, df_", &TA1_exec_tr,
                "The new column from column colid of df_, shaped (rows, 1), NaN and infinities set to 0.")
        .finish();
}

}  // namespace karrow::module
