// TB1: one fresh estimator per eligible column.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/family_candidates.hpp"
#include "module/registry.hpp"
#include "module/transform_driver.hpp"

#include <memory>
#include <string>
#include <utility>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object class_name_of(py::handle obj) { return obj.attr("__class__").attr("__name__"); }

py::object TB1_init(py::object self, py::object tans_class, py::object name, py::object datatypes,
                    py::object feat_constraints, py::object tgraph, py::object apply_all, py::object col_names,
                    py::object col_dtypes, py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    store_attributes(self, {{"tans_class", tans_class}, {"tgraph", tgraph}, {"apply_all", apply_all},
                            {"name", name.is_none() ? class_name_of(tans_class) : name}, {"datatypes", datatypes},
                            {"feat_constraints", or_empty_list(feat_constraints)}});
    name_object(self, "TB1-", name);
    return py::none();
}

py::object TB1_fit(py::object self, py::object X, py::object /*y*/, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("datatypes") = resolve_basic_datatypes(self.attr("datatypes"));
    if (is_true(self.attr("apply_all"))) {
        choose_candidates(self, X, cols, "colids_");
    } else if (!single_column(self, X)) {
        return py::none();
    }
    py::list tobjects;
    self.attr("tobjects_") = tobjects;
    py::object tans_class = self.attr("tans_class");
    for (auto col_id : self.attr("colids_")) {
        py::object tobj = tans_class();
        tobj.attr("fit")(column(X, col_id).attr("reshape")(-1, 1));
        tobjects.append(tobj);
    }
    return self;
}

py::object TB1_exec_tr(py::object self, py::object i, py::object df_) {
    py::object in_col = column(df_, self.attr("colids_")[i]);
    py::object new_cols = self.attr("tobjects_")[i].attr("transform")(in_col.attr("reshape")(-1, 1));
    return replace_nan_and_inf(new_cols);
}

struct TB1 : FamilyDefaults {
    static constexpr const char* candidates = "colids_";
    static constexpr Quirks quirks{NameSeed::fitted_then_new, NewOnly::if_true, RecordOrder::names_first,
                                   SplitDtype::of_output, SplitLineage::indexed_op};
    static constexpr Pool pool = Pool::positions;

    static bool refuse(const py::object& self, const py::object& X) { return refuses_width(self, X); }
    // The input column's name and JSON name object are looked up before its output is computed.
    static py::object output(TransformRun& run, py::ssize_t i) {
        run.pending = base(run, i);
        return run.self.attr("exec_tr")(i, run.source());
    }
    static void place(TransformRun& run, py::ssize_t i, py::object nc) {
        py::tuple b = run.pending.is_none() ? base(run, i) : py::tuple(run.pending);
        run.pending = py::none();
        py::list params;
        params.append(b[1]);
        run.place_output(output_as_array(std::move(nc), OutputOf::estimator), py::str(b[0]), params);
    }
    static py::tuple base(TransformRun& run, py::ssize_t i) {
        py::object colid = run.candidate(i);
        return py::make_tuple(run.col_names_[colid], run.col_as_json_objects_[colid]);
    }
};

}  // namespace

void register_TB1(py::module_& m) {
    FamilyClass<TB1>(m, "TB1", "Unary estimator transform: one fresh estimator per eligible column, outputs appended.")
        .method("__init__",
                "self, tans_class, name, datatypes, feat_constraints, tgraph=None, apply_all=True, col_names=None, "
                "col_dtypes=None, col_as_json_objects=None",
                &TB1_init, "Wrap an estimator class: one fresh estimator per eligible column."
                KARROW_COLUMN_ARGUMENTS_DOC)
        .transform()
        .descriptor(&one_dimension_descriptor<TB1_eligible_columns>, "One dimension: the eligible column ids.")
        .candidates(&checked_candidates<TB1_eligible_columns>, "The eligible column ids, in ascending order.")
        .namestr()
        .fit(&TB1_fit, "Choose colids_ and fit one new estimator per chosen column (None when refused).")
        .method("all_fc_satisifed", "self, dfc, dfcname", &constraints_method<kFeatConstraints>,
                "True unless a constraint (or its cached answer for dfcname) is the object False.")
        .method("exec_tr", "self, i, df_", &TB1_exec_tr,
                "Column colids_[i] of df_ through tobjects_[i], with NaN and infinities replaced by 0.")
        .finish();
}

}  // namespace karrow::module
