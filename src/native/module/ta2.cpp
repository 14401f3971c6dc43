// TA2: one function of two arguments applied to ordered pairs of distinct columns.
#include <utility>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/family_candidates.hpp"
#include "module/registry.hpp"
#include "module/transform_driver.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA2_init(py::object self, py::object fun, py::object name, py::object datatypes1,
                    py::object feat_constraints1, py::object datatypes2, py::object feat_constraints2,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    store_attributes(self, {{"apply_all", apply_all}, {"fun", fun}, {"tgraph", tgraph},
                            {"name", name.is_none() ? fun.attr("__name__") : name}, {"datatypes1", datatypes1},
                            {"datatypes2", datatypes2}, {"feat_constraints1", or_empty_list(feat_constraints1)},
                            {"feat_constraints2", or_empty_list(feat_constraints2)}});
    name_object(self, "TA2-", name);
    return py::none();
}

// The function on the pair at position i of colid_pairs_, shaped (rows, 1), NaN
// and infinities replaced.
py::object TA2_exec_tr(py::object self, py::object i, py::object df_) {
    auto [c1, c2] = unpack_pair(self.attr("colid_pairs_")[i]);
    py::object a = column(df_, c1);
    py::object b = column(df_, c2);
    return replace_nan_and_inf(with_trailing_axis(self.attr("fun")(a, b)));
}

py::object TA2_fit(py::object self, py::object X, py::object, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("datatypes1") = resolve_basic_datatypes(self.attr("datatypes1"));
    self.attr("datatypes2") = resolve_basic_datatypes(self.attr("datatypes2"));
    reduce_candidates(self, X, cols, "colid_pairs_");
    if (self.attr("colid_pairs_").is_none()) {
        py::object colpairids = self.attr("get_candidates")(X, cols.names, cols.dtypes);
        py::list pairs;
        self.attr("colid_pairs_") = pairs;
        for (auto cpair : colpairids) pairs.append(py::make_tuple(item(cpair, 0), item(cpair, 1)));
    }
    return self;
}

struct TA2 : FamilyDefaults {
    static constexpr const char* candidates = "colid_pairs_";
    static constexpr Quirks quirks{NameSeed::fitted_then_new, NewOnly::by_truth};
    static constexpr Pool pool = Pool::positions;

    static py::object output(TransformRun& run, py::ssize_t i) {
        return TA2_exec_tr(run.self, py::int_(i), run.source_for(run.self.attr("fun")));
    }
    static void describe(TransformRun& run, py::ssize_t i) {
        py::object pair = run.candidate(i);
        py::object basename1 = run.col_names_[item(pair, 0)];
        py::object basename2 = run.col_names_[item(pair, 1)];
        py::list params;
        params.append(run.col_as_json_objects_[item(pair, 0)]);
        params.append(run.col_as_json_objects_[item(pair, 1)]);
        py::object inner = py::str(basename1) + py::str("__") + py::str(basename2);
        run.name_column(call_name(run.name, inner), expression_json(run.name, params));
    }
    // Without a pair there is nothing to join: the input itself, or an empty list.
    static py::object result(TransformRun& run, const py::object& flag) {
        if (run.count == 0) {
            binding::print(py::str("---------------------- empty column tuple would crash np.concatenate -----------"));
        }
        const bool new_only = run.new_only(flag);
        if (run.count == 0) return new_only ? py::object(py::list()) : run.X;
        py::object joined = run.out.finish();
        if (new_only || run.include_input) return joined;
        return H().np.attr("concatenate")(py::make_tuple(run.out.input(), joined), 1);
    }
};

}  // namespace

void register_TA2(py::module_& m) {
    FamilyClass<TA2>(m, "TA2", "Binary function transform: a two-argument function on ordered pairs of columns.")
        .method("__init__",
                "self, fun, name, datatypes1, feat_constraints1, datatypes2, feat_constraints2, tgraph=None, "
                "apply_all=True, col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA2_init, "Wrap a two-argument function; datatypes and constraints per argument."
                KARROW_COLUMN_ARGUMENTS_DOC)
        .transform()
        .descriptor(&TA2_get_candidates_space_descriptor, "Two dimensions: the ids eligible as first, as second argument.")
        .candidates(&TA2_get_candidates, "List of the eligible ordered pairs (colid1, colid2) of distinct columns.")
        .method("exec_tr", "self, i, df_", &TA2_exec_tr,
                "The new column of pair i of colid_pairs_, shaped (rows, 1), NaN and infinities set to 0.")
        .namestr()
        .fit(&TA2_fit, "Record the input columns, resolve the datatype families and choose colid_pairs_.")
        .method("all_fc1_satisifed", "self, dfc, dfcname", &constraints_method<kFeatConstraints1>,
                "True unless a first-argument constraint returns the object False for the column.")
        .method("all_fc2_satisifed", "self, dfc, dfcname", &constraints_method<kFeatConstraints2>,
                "True unless a second-argument constraint returns the object False for the column.")
        .finish();
}

}  // namespace karrow::module
