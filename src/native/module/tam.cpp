// TAM: one estimator fitted on the whole table.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/family_candidates.hpp"
#include "module/registry.hpp"
#include "module/transform_driver.hpp"

#include <memory>
#include <string>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TAM_init(py::object self, py::object tans_class, py::object name, py::object tgraph, py::object apply_all,
                    py::object col_names, py::object col_dtypes, py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    store_attributes(self, {{"apply_all", apply_all}, {"tgraph", tgraph}, {"tans_class", tans_class},
                            {"name", name.is_none() ? tans_class.attr("__class__").attr("__name__") : name}});
    name_object(self, "TAM-", name);
    return py::none();
}

// X[:, list(cands[0])]
py::object candidate_columns(py::handle X, py::handle cands) {
    return column(X, py::list(cands[py::int_(0)]));
}

py::object TAM_fit(py::object self, py::object X, py::object /*y*/, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("trans_class_obj_") = self.attr("get_obj_clone_or_new_class_obj")(self.attr("tans_class"));
    self.attr("cands") = self.attr("get_candidates")(X, cols.names, cols.dtypes);
    self.attr("trans_class_obj_").attr("fit")(candidate_columns(X, self.attr("cands")));
    return self;
}

struct TAM : FamilyDefaults {
    static constexpr const char* candidates = "cands";
    static constexpr Quirks quirks{NameSeed::new_then_fitted, NewOnly::if_true, RecordOrder::names_first,
                                   SplitDtype::of_column, SplitLineage::output_index_param, Measure::single};

    static py::object output(TransformRun& run, py::ssize_t) {
        py::object sel_df = candidate_columns(run.X, run.candidates);
        return run.self.attr("trans_class_obj_").attr("transform")(sel_df);
    }
    // The outputs are named name_0, name_1, ...; each one's lineage is its own name.
    static void place(TransformRun& run, py::ssize_t, py::object Xtr) {
        run.pending = replace_nan_and_inf(std::move(Xtr));
        const auto count = py::cast<py::ssize_t>(run.pending.attr("shape")[py::int_(1)]);
        for (py::ssize_t i = 0; i < count; ++i) {
            run.self_named_column(run.name + py::str("_" + std::to_string(i)), run.pending, i);
        }
    }
    static py::object result(TransformRun& run, const py::object& flag) {
        if (is_true(flag)) return run.pending;
        return H().np.attr("concatenate")(py::make_tuple(run.X, run.pending), 1);
    }
};

}  // namespace

void register_TAM(py::module_& m) {
    FamilyClass<TAM>(m, "TAM", "Whole-frame estimator transform: one estimator fitted on all columns, outputs appended.")
        .method("__init__",
                "self, tans_class, name, tgraph=None, apply_all=True, col_names=None, col_dtypes=None, "
                "col_as_json_objects=None",
                &TAM_init, "Wrap an estimator class or object fitted on the whole table.")
        .descriptor(&TAM_get_candidates_space_descriptor, "A singleton space: the tuple of all column positions.")
        .candidates(&TAM_get_candidates, "[tuple(range(0, df.shape[1]))]")
        .fit(&TAM_fit, "Fit a fresh estimator (a clone, or a new object of the class) on all columns of X.")
        .transform()
        .finish();
}

}  // namespace karrow::module
