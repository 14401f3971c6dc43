// TA2: one function of two arguments applied to ordered pairs of distinct columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

#include <string>
#include <utility>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TA2_init(py::object self, py::object fun, py::object name, py::object datatypes1,
                    py::object feat_constraints1, py::object datatypes2, py::object feat_constraints2,
                    py::object tgraph, py::object apply_all, py::object col_names, py::object col_dtypes,
                    py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("apply_all") = apply_all;
    self.attr("fun") = fun;
    self.attr("tgraph") = tgraph;
    self.attr("name") = name.is_none() ? fun.attr("__name__") : name;
    self.attr("datatypes1") = datatypes1;
    self.attr("datatypes2") = datatypes2;
    self.attr("feat_constraints1") = feat_constraints1.is_none() ? py::object(py::list()) : feat_constraints1;
    self.attr("feat_constraints2") = feat_constraints2.is_none() ? py::object(py::list()) : feat_constraints2;
    self.attr("uid") = make_uid("TA2-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

// `a, b = pair`, with the interpreter's own errors for anything but two items.
std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    PyObject* it = PyObject_GetIter(pair.ptr());
    if (it == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable " + type_name(pair) + " object");
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int k = 0; k < 2; ++k) {
        PyObject* next = PyIter_Next(iter.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(k) + ")");
        }
        parts[k] = py::reinterpret_steal<py::object>(next);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {parts[0], parts[1]};
}

// One new column: the function on the pair at position i of colid_pairs_, as a
// (rows, 1) array with NaN and infinities replaced by 0. exec_tr and the
// in-process transform both go through here.
py::object TA2_apply(py::handle self, py::handle i, py::handle df_) {
    auto [c1, c2] = unpack_pair(self.attr("colid_pairs_")[i]);
    py::object a = column(df_, c1);
    py::object b = column(df_, c2);
    py::object result = self.attr("fun")(a, b);
    return replace_nan_and_inf(with_trailing_axis(result));
}

py::object TA2_all_fc1_satisifed(py::object self, py::object dfc, py::object dfcname) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints1"), dfc, dfcname));
}

py::object TA2_all_fc2_satisifed(py::object self, py::object dfc, py::object dfcname) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints2"), dfc, dfcname));
}

py::object TA2_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    py::object ncols = item(df.attr("shape"), 1);
    // only the first argument's dtype lookups are reported
    py::list matching_colids1 = eligible_colids(self, "datatypes1", "all_fc1_satisifed", df, ncols, col_names,
                                                col_dtypes, OnDtypeError::report);
    py::list matching_colids2 = eligible_colids(self, "datatypes2", "all_fc2_satisifed", df, ncols, col_names,
                                                col_dtypes, OnDtypeError::pass_on);
    desc.attr("add_dimension_spec")(matching_colids1);
    desc.attr("add_dimension_spec")(matching_colids2);
    return desc;
}

py::object TA2_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::list col_pair_ids;
    py::object ncols = item(df.attr("shape"), 1);
    for (auto colid1 : py_range(ncols)) {
        py::str ty1 = dtype_text_reporting(df, col_dtypes, colid1);
        if (!column_eligible(self, "datatypes1", "all_fc1_satisifed", ty1, df, colid1, col_names)) continue;
        for (auto colid2 : py_range(ncols)) {
            if (colid2.equal(colid1)) continue;
            py::str ty2(col_dtypes[colid2]);
            if (column_eligible(self, "datatypes2", "all_fc2_satisifed", ty2, df, colid2, col_names)) {
                col_pair_ids.append(py::make_tuple(colid1, colid2));
            }
        }
    }
    assert_space_size(self, df, col_names, col_dtypes, col_pair_ids);
    return std::move(col_pair_ids);
}

py::object TA2_exec_tr(py::object self, py::object i, py::object df_) { return TA2_apply(self, i, df_); }

py::object TA2_namestr(py::object, py::object obj, py::object ns) { return namestr(obj, ns); }

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
        for (auto cpair : colpairids) {
            py::object first = item(cpair, 0);
            py::object second = item(cpair, 1);
            pairs.append(py::make_tuple(first, second));
        }
    }
    return self;
}

// The truth of return_new_cols_only when asking for it cannot run user code
// (bool, int, None); otherwise the question waits for the point where the
// plain algorithm asks it.
enum class Wanted { new_only, with_input, undecided };

Wanted wanted_early(py::handle flag) {
    if (flag.is_none() || PyBool_Check(flag.ptr()) || PyLong_CheckExact(flag.ptr())) {
        return truthy(flag) ? Wanted::new_only : Wanted::with_input;
    }
    return Wanted::undecided;
}

py::object TA2_transform(py::object self, py::object X, py::object n_jobs, py::object return_new_cols_only) {
    const Wanted early = wanted_early(return_new_cols_only);
    py::object colid_pairs = self.attr("colid_pairs_");
    const py::ssize_t count = py::len(colid_pairs);
    ColumnAssembler out(X, early == Wanted::with_input, count);
    py::list new_col_dtypes;
    if (use_pool(self.attr("tgraph"))) {
        py::list cols = pool_exec_tr(self, X, py_range(py::int_(count)), n_jobs);
        add_pooled_blocks(cols, new_col_dtypes, out);
    } else {
        for (py::ssize_t i = 0; i < count; ++i) {
            add_block(TA2_apply(self, py::int_(i), out.source()), new_col_dtypes, out);
        }
    }

    py::object name = self.attr("name");
    py::object col_names_ = self.attr("col_names_");
    py::object col_as_json_objects_ = self.attr("col_as_json_objects_");
    py::list new_col_names;
    py::list new_column_as_json_objects;
    UniqueNamer namer;
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object pair = item(colid_pairs, i);
        py::object basename1 = col_names_[item(pair, 0)];
        py::object basename2 = col_names_[item(pair, 1)];
        py::object basename_json_1 = col_as_json_objects_[item(pair, 0)];
        py::object basename_json_2 = col_as_json_objects_[item(pair, 1)];
        py::object proposed =
            name + py::str("(") + py::str(basename1) + py::str("__") + py::str(basename2) + py::str(")");
        if (i == 0) {
            // names in use: the fitted ones, then this call's (none yet); fitted names
            // that are not a list fail in this join, as in the plain algorithm
            namer.add_existing(col_names_ + new_col_names);
        }
        new_col_names.append(namer.take(proposed));
        py::list params;
        params.append(basename_json_1);
        params.append(basename_json_2);
        new_column_as_json_objects.append(expression_json(name, params));
    }
    record_new_columns(self, new_col_names, new_col_dtypes, new_column_as_json_objects);

    if (count == 0) binding::print(py::str("---------------------- empty column tuple would crash np.concatenate -----------"));
    const bool new_only = early == Wanted::undecided ? truthy(return_new_cols_only) : early == Wanted::new_only;
    if (count == 0) return new_only ? py::object(py::list()) : X;
    py::object result = out.finish();
    if (new_only || early == Wanted::with_input) return result;
    return H().np.attr("concatenate")(py::make_tuple(out.input(), result), 1);
}

}  // namespace

void register_TA2(py::module_& m) {
    ClassBuilder(m, "TA2", py::make_tuple(m.attr("VantorTransformer")),
                 "Binary function transform: applies a two-argument function to ordered pairs of distinct columns.")
        .method("__init__",
                "self, fun, name, datatypes1, feat_constraints1, datatypes2, feat_constraints2, tgraph=None, "
                "apply_all=True, col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TA2_init,
                "Wrap a two-argument function; datatypes and constraints per argument.")
        .method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &TA2_transform,
                "Append one new column per fitted pair (or return the new columns alone when "
                "return_new_cols_only is true); records new_column_names_, new_column_dtypes_ and "
                "new_column_as_json_objects_.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TA2_get_candidates_space_descriptor,
                "Candidate space with two dimensions: the column ids eligible as first, then as second argument.")
        .method("get_candidates", "self, df, col_names, col_dtypes", &TA2_get_candidates,
                "List of the eligible ordered pairs (colid1, colid2) of distinct columns.")
        .method("exec_tr", "self, i, df_", &TA2_exec_tr,
                "The new column of the pair at position i of colid_pairs_, shaped (rows, 1), NaN and "
                "infinities set to 0.")
        .method("namestr", "self, obj, namespace", &TA2_namestr,
                "Keys of the mapping namespace whose value is obj itself.")
        .method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", &TA2_fit,
                "Record the input columns' names, dtypes and JSON name objects, resolve the datatype "
                "families and choose colid_pairs_.")
        .method("all_fc1_satisifed", "self, dfc, dfcname", &TA2_all_fc1_satisifed,
                "True unless a first-argument constraint returns the object False for the column.")
        .method("all_fc2_satisifed", "self, dfc, dfcname", &TA2_all_fc2_satisifed,
                "True unless a second-argument constraint returns the object False for the column.")
        .finish();
}

}  // namespace karrow::module
