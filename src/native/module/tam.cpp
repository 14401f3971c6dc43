// TAM: one estimator fitted on the whole table.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

#include <memory>
#include <string>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TAM_init(py::object self, py::object tans_class, py::object name, py::object tgraph, py::object apply_all,
                    py::object col_names, py::object col_dtypes, py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("apply_all") = apply_all;
    self.attr("tgraph") = tgraph;
    self.attr("tans_class") = tans_class;
    self.attr("name") = name.is_none() ? tans_class.attr("__class__").attr("__name__") : name;
    self.attr("uid") = make_uid("TAM-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

// tuple(range(0, df.shape[1])): the one candidate, every column in order.
py::tuple all_positions(py::handle df) {
    return py::tuple(py_range(py::int_(0), item(df.attr("shape"), 1)));
}

py::object TAM_get_candidates_space_descriptor(py::object /*self*/, py::object df, py::object /*col_names*/,
                                               py::object /*col_dtypes*/) {
    return module_class("SingletonCandidateSpaceDescriptor")(all_positions(df));
}

py::object TAM_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    // The descriptor exists only for the consistency check, so python -O skips both.
    if (!H().optimize) {
        py::list from_descriptor, expected;
        from_descriptor.append(
            self.attr("get_candidates_space_descriptor")(df, col_names, col_dtypes).attr("get_candidate")(0));
        expected.append(all_positions(df));
        bare_assert(from_descriptor.equal(expected));
    }
    py::list cands;
    cands.append(all_positions(df));
    return std::move(cands);
}

// X[:, list(cands[0])]
py::object candidate_columns(py::handle X, py::handle cands) {
    py::list positions(cands[py::int_(0)]);
    return X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), positions)];
}

py::object TAM_fit(py::object self, py::object X, py::object /*y*/, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("trans_class_obj_") = self.attr("get_obj_clone_or_new_class_obj")(self.attr("tans_class"));
    self.attr("cands") = self.attr("get_candidates")(X, cols.names, cols.dtypes);
    self.attr("trans_class_obj_").attr("fit")(candidate_columns(X, self.attr("cands")));
    return self;
}

py::object TAM_transform(py::object self, py::object X, py::object /*n_jobs*/, py::object return_new_cols_only) {
    py::object sel_df = candidate_columns(X, self.attr("cands"));
    py::object Xtr = self.attr("trans_class_obj_").attr("transform")(sel_df);
    Xtr = replace_nan_and_inf(Xtr);
    py::list new_col_names, new_col_dtypes, new_column_as_json_objects;
    py::object name = self.attr("name");
    py::object col_names_ = self.attr("col_names_");
    std::unique_ptr<UniqueNamer> namer;
    const auto count = py::cast<py::ssize_t>(Xtr.attr("shape")[py::int_(1)]);
    for (py::ssize_t i = 0; i < count; ++i) {
        if (!namer) {
            // Unique against the names given in this call and all input names.
            namer = std::make_unique<UniqueNamer>();
            namer->add_existing(py::list() + col_names_);
        }
        py::str nfullname = namer->take(py::str(name + py::str("_" + std::to_string(i))));
        new_col_names.append(nfullname);
        new_col_dtypes.append(column(Xtr, i).attr("dtype"));
        new_column_as_json_objects.append(get_json_for_name(nfullname));
    }
    record_new_columns(self, new_col_names, new_col_dtypes, new_column_as_json_objects);
    if (is_true(return_new_cols_only)) return Xtr;
    return H().np.attr("concatenate")(py::make_tuple(X, Xtr), 1);
}

}  // namespace

void register_TAM(py::module_& m) {
    ClassBuilder(m, "TAM", py::make_tuple(m.attr("VantorTransformer")),
                 "Whole-frame estimator transform: one estimator fitted on all columns, its outputs appended.")
        .method("__init__",
                "self, tans_class, name, tgraph=None, apply_all=True, col_names=None, col_dtypes=None, "
                "col_as_json_objects=None",
                &TAM_init,
                "Wrap an estimator class or object fitted on the whole table.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TAM_get_candidates_space_descriptor,
                "A SingletonCandidateSpaceDescriptor whose one candidate is the tuple of all column positions.")
        .method("get_candidates", "self, df, col_names, col_dtypes", &TAM_get_candidates,
                "[tuple(range(0, df.shape[1]))]")
        .method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", &TAM_fit,
                "Fit a fresh estimator (a clone, or a new object of the class) on all columns of X; returns self.")
        .method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &TAM_transform,
                "X with the estimator's output columns name_0, name_1, ... appended (the outputs alone when "
                "return_new_cols_only is True).")
        .finish();
}

}  // namespace karrow::module
