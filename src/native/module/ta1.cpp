// TA1: one element-wise function applied to single columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA1_init(py::object self, py::object fun, py::object name, py::object datatypes, py::object feat_constraints,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    self.attr("fun") = fun;
    self.attr("tgraph") = tgraph;
    self.attr("apply_all") = apply_all;
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("name") = name;
    self.attr("datatypes") = datatypes;
    self.attr("feat_constraints") = feat_constraints;
    if (name.is_none()) self.attr("name") = fun.attr("__name__");
    if (feat_constraints.is_none()) self.attr("feat_constraints") = py::list();
    self.attr("uid") = make_uid("TA1-", self.attr("name"));
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

// The eligible column ids of df, ascending; a failing dtype lookup is reported.
py::list TA1_eligible_colids(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    return eligible_colids(self, "datatypes", "all_fc_satisifed", df, item(df.attr("shape"), 1), col_names,
                           col_dtypes, OnDtypeError::report);
}

// One new column: the function on column colid of df_, as a (rows, 1) array
// with NaN and infinities replaced by 0. exec_tr and the in-process transform
// both go through here.
py::object TA1_apply(py::handle self, py::handle colid, py::handle df_) {
    py::object col = column(df_, colid);
    py::object result = self.attr("fun")(col);
    return replace_nan_and_inf(with_trailing_axis(result));
}

py::object TA1_all_fc_satisifed(py::object self, py::object dfc, py::object col_name) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints"), dfc, col_name));
}

py::object TA1_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes) {
    return one_dimension_space(TA1_eligible_colids(self, df, col_names, col_dtypes));
}

py::object TA1_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::list colids = TA1_eligible_colids(self, df, col_names, col_dtypes);
    assert_space_size(self, df, col_names, col_dtypes, colids);
    return std::move(colids);
}

py::object TA1_namestr(py::object, py::object obj, py::object ns) { return namestr(obj, ns); }

py::object TA1_fit(py::object self, py::object X, py::object, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    if (is_true(self.attr("apply_all"))) {
        choose_candidates(self, X, cols, "colids_");
        return self;
    }
    if (item(X.attr("shape"), 1).not_equal(py::int_(1))) {
        binding::print(py::str("More columns than 1 provided for apply_all in transform ") + self.attr("name"));
        return py::none();
    }
    py::list single;
    single.append(py::int_(0));
    self.attr("colids_") = single;
    return self;
}

py::object TA1_exec_tr(py::object self, py::object colid, py::object df_) { return TA1_apply(self, colid, df_); }

py::object TA1_transform(py::object self, py::object X, py::object n_jobs, py::object return_new_cols_only) {
    bare_assert(is_ndarray(X));
    if (is_false(self.attr("apply_all")) && item(X.attr("shape"), 1).not_equal(py::int_(1))) {
        binding::print(py::str(" More than admissible number of columns provided for transform with apply_all=False "
                      "for transform ") +
              self.attr("name"));
        return py::none();
    }
    py::object colids = self.attr("colids_");
    ColumnAssembler out(X, !is_true(return_new_cols_only), static_cast<py::ssize_t>(py::len_hint(colids)));
    py::list new_col_dtypes;
    if (use_pool(self.attr("tgraph"))) {
        py::list cols = pool_exec_tr(self, X, colids, n_jobs);
        add_pooled_blocks(cols, new_col_dtypes, out);
    } else {
        for (auto colid : colids) add_block(TA1_apply(self, colid, out.source()), new_col_dtypes, out);
    }
    if (out.blocks() == 0) {
        out.add(H().np.attr("empty")(py::make_tuple(item(X.attr("shape"), 0), 0), H().np.attr("float32")));
    }
    out.join_new();

    py::object name = self.attr("name");
    py::object col_names_ = self.attr("col_names_");
    py::object col_as_json_objects_ = self.attr("col_as_json_objects_");
    py::list new_col_names;
    py::list new_column_as_json_objects;
    UniqueNamer namer;
    const py::ssize_t count = py::len(colids);
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object colid = item(colids, i);
        py::object base_col_name = col_names_[colid];
        py::object base_col_as_json_object = col_as_json_objects_[colid];
        py::object proposed = name + py::str("(") + py::str(base_col_name) + py::str(")");
        if (i == 0) {
            // names in use: this call's (none yet), then the fitted ones; fitted names
            // that are not a list fail in this join, as in the plain algorithm
            namer.add_existing(new_col_names + col_names_);
        }
        new_col_names.append(namer.take(proposed));
        py::list params;
        params.append(base_col_as_json_object);
        new_column_as_json_objects.append(expression_json(name, params));
    }
    record_new_columns(self, new_col_names, new_col_dtypes, new_column_as_json_objects);
    return out.finish();
}

}  // namespace

void register_TA1(py::module_& m) {
    ClassBuilder(m, "TA1", py::make_tuple(m.attr("VantorTransformer")),
                 "Unary function transform: applies one element-wise function to each eligible column.")
        .method("__init__",
                "self, fun, name=None, datatypes=None, feat_constraints=None, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA1_init,
                "Wrap an element-wise function; datatypes are family names ('numeric', 'float', 'int') or dtype names, feat_constraints predicates every column must satisfy.")
        .method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &TA1_transform,
                "Append one new column per fitted column id (or return the new columns alone when "
                "return_new_cols_only is True); records new_column_names_, new_column_dtypes_ and "
                "new_column_as_json_objects_.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TA1_get_candidates_space_descriptor,
                "Candidate space with one dimension: the ids of the columns the function may be applied to.")
        .method("get_candidates", "self, df, col_names, col_dtypes", &TA1_get_candidates,
                "List of the eligible column ids, ascending.")
        .method("namestr", "self, obj, namespace", &TA1_namestr,
                "Keys of the mapping namespace whose value is obj itself.")
        .method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", &TA1_fit,
                "Record the input columns' names, dtypes and JSON name objects and choose colids_.")
        .method("all_fc_satisifed", "self, dfc, col_name", &TA1_all_fc_satisifed,
                "True unless a feature constraint returns the object False for the column.")
        .method("exec_tr", "self, colid, df_", &TA1_exec_tr,
                "The new column computed from column colid of df_, shaped (rows, 1), NaN and infinities set to 0.")
        .finish();
}

}  // namespace karrow::module
