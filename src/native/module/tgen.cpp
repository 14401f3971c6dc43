// TGen: a function of n arguments (plain callable or estimator-like object)
// applied to tuples of distinct columns.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

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

bool is_one_dimensional(py::handle a) { return py::len(a.attr("shape")) == 1; }

// The column ids of df eligible for one argument position, ascending.
py::list matching_colids(py::handle self, py::handle df, py::handle datatypes, py::handle fcs, py::handle col_names,
                         py::handle col_dtypes) {
    py::list colids;
    for (auto colid : py_range(item(df.attr("shape"), 1))) {
        py::str ty(col_dtypes[colid]);
        if (!contains(resolve_basic_datatypes(datatypes), ty)) continue;
        py::object dfc = column(df, colid);
        py::object name = col_names[colid];
        if (truthy(self.attr("all_fc_satisifed")(fcs, dfc, name))) colids.append(colid);
    }
    return colids;
}

py::object TGen_all_fc_satisifed(py::object self, py::object fcs, py::object dfc, py::object dfcname) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), fcs, dfc, dfcname));
}

py::object TGen_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                                py::object col_dtypes) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    for (auto current_arg : py_range(self.attr("arg_count"))) {
        py::object datatypes = self.attr("datatypes_list")[current_arg];
        py::object fcs = self.attr("feat_constraints_list")[current_arg];
        desc.attr("add_dimension_spec")(matching_colids(self, df, datatypes, fcs, col_names, col_dtypes));
    }
    return desc;
}

py::object TGen_get_candidates_sub(py::object self, py::object df, py::object current_arg,
                                   py::object colids_tuple_list, py::object col_names, py::object col_dtypes) {
    if (current_arg >= self.attr("arg_count")) return colids_tuple_list;
    py::object datatypes = self.attr("datatypes_list")[current_arg];
    py::object fcs = self.attr("feat_constraints_list")[current_arg];
    py::list matching = matching_colids(self, df, datatypes, fcs, col_names, col_dtypes);
    if (matching.empty()) return py::list();
    py::list updated_colids_tuple_list;
    if (current_arg.equal(py::int_(0))) {
        for (auto colid : matching) updated_colids_tuple_list.append(py::make_tuple(colid));
    } else {
        for (auto colids_tuple : colids_tuple_list) {
            for (auto latest_colid : matching) {
                if (contains(colids_tuple, latest_colid)) continue;
                updated_colids_tuple_list.append(colids_tuple + py::make_tuple(latest_colid));
            }
        }
    }
    if (updated_colids_tuple_list.empty()) return py::list();
    return self.attr("get_candidates_sub")(df, current_arg + py::int_(1), updated_colids_tuple_list, col_names,
                                           col_dtypes);
}

py::object TGen_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::object colids_tuple_list =
        self.attr("get_candidates_sub")(df, py::int_(0), py::list(), col_names, col_dtypes);
    assert_space_size(self, df, col_names, col_dtypes, colids_tuple_list);
    return colids_tuple_list;
}

py::str combined_param_name(py::handle candidate_cols_ids, py::handle col_names) {
    std::string text;
    for (auto x : candidate_cols_ids) {
        text += str(col_names[x]);
        text += "___";
    }
    return py::str(text);
}

py::object TGen_combined_param_name(py::object, py::object candidate_cols_ids, py::object col_names) {
    return combined_param_name(candidate_cols_ids, col_names);
}

py::object TGen_namestr(py::object, py::object obj, py::object ns) { return namestr(obj, ns); }

py::object TGen_get_df_from_tuple_of_series(py::object tofseries) {
    py::list series;
    const py::ssize_t count = py::len(tofseries);
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object s = item(tofseries, i);
        s.attr("name") = py::str(std::to_string(i));
        series.append(s);
    }
    return H().pd.attr("concat")(series, py::arg("axis") = 1);
}

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
            tobj.attr("fit")(X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), column_params_ids)]);
            tobjects.append(tobj);
        }
    }
    return self;
}

// pandas with copy-on-write hands out read-only views from `.values`; the NaN
// replacement that follows writes into the array, as it did with the writable
// views older pandas returned, so a read-only view is copied first.
py::object writable_values(py::handle frame_or_series) {
    py::object values = frame_or_series.attr("values");
    if (is_ndarray(values) && !py::reinterpret_borrow<py::array>(values).writeable()) {
        values = values.attr("copy")();
    }
    return values;
}

// A tuple of Series becomes the frame of its first two; a tuple of arrays is
// joined side by side, 1-d ones as single columns.
py::object tuple_as_array(py::object nc) {
    if (type_name(item(nc, 0)) == "Series") return writable_values(TGen_get_df_from_tuple_of_series(first_two(nc)));
    py::list parts;
    for (auto e : nc) parts.append(is_one_dimensional(e) ? with_trailing_axis(e) : py::reinterpret_borrow<py::object>(e));
    return H().np.attr("concatenate")(parts, py::arg("axis") = 1);
}

py::object TGen_transform(py::object self, py::object X, py::object, py::object return_new_cols_only) {
    py::object candidates = self.attr("candidates_");
    ColumnAssembler out(X, !is_true(return_new_cols_only), static_cast<py::ssize_t>(py::len_hint(candidates)));
    py::object name = self.attr("name");
    py::object col_names_ = self.attr("col_names_");
    py::object col_as_json_objects_ = self.attr("col_as_json_objects_");
    const bool estimator_like = !py::object(self.attr("transform_type")).equal(py::str("A"));
    py::list new_col_names;
    py::list new_col_dtypes;
    py::list new_column_as_json_objects;
    UniqueNamer namer;
    bool namer_ready = false;
    // names in use: the fitted ones, then this call's; fitted names that are not a
    // list fail at the first name as joining them to the list of new names would
    auto take_name = [&](py::object proposed) {
        if (!namer_ready) {
            namer.add_existing(col_names_ + new_col_names);
            namer_ready = true;
        }
        return namer.take(std::move(proposed));
    };
    auto param_name = [&](py::handle candidate_cols) {
        return self.attr("combined_param_name")(candidate_cols, col_names_);
    };
    auto params_of = [&](py::handle candidate_cols) {
        py::list params;
        for (auto colid : candidate_cols) params.append(col_as_json_objects_[colid]);
        return params;
    };

    const py::ssize_t count = py::len(candidates);
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object candidate_cols = item(candidates, i);
        py::object nc;
        if (estimator_like) {
            py::list ids(candidate_cols);
            // estimators read the caller's own array, laid out as it was at fit
            nc = item(self.attr("tobjects_"), i)
                     .attr("transform")(X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), ids)]);
        } else {
            py::list column_params;
            py::object source = out.source();
            for (auto colid : candidate_cols) column_params.append(column(source, colid));
            py::object fun = self.attr("get_obj_clone_or_new_class_obj")(self.attr("fun"));
            nc = fun(*column_params);
        }
        py::object ncs = output_as_array(nc, tuple_as_array, writable_values);
        nc = py::none();
        py::object ocolcnt = is_one_dimensional(ncs) ? py::object(py::int_(1)) : item(ncs.attr("shape"), 1);
        if (ocolcnt.equal(py::int_(1))) {
            ncs = replace_nan_and_inf(ncs);
            py::object proposed = name + py::str("(") + param_name(candidate_cols) + py::str(")");
            new_col_names.append(take_name(proposed));
            new_col_dtypes.append(ncs.attr("dtype"));
            new_column_as_json_objects.append(expression_json(name, params_of(candidate_cols)));
            out.add(is_one_dimensional(ncs) ? with_trailing_axis(ncs) : ncs);
            continue;
        }
        for (auto j : py_range(ocolcnt)) {
            py::object new_col = replace_nan_and_inf(column(ncs, j));
            out.add(with_trailing_axis(new_col));
            py::object proposed =
                name + py::str("_") + py::str(j) + py::str("(") + param_name(candidate_cols) + py::str(")");
            new_col_names.append(take_name(proposed));
            new_col_dtypes.append(new_col.attr("dtype"));
            py::dict output_index;
            output_index["output_index"] = j;
            py::list params;
            params.append(output_index);
            for (auto p : params_of(candidate_cols)) params.append(p);
            new_column_as_json_objects.append(expression_json(name, params));
        }
    }
    self.attr("new_column_dtypes_") = new_col_dtypes;
    self.attr("new_column_names_") = new_col_names;
    self.attr("new_column_as_json_objects_") = new_column_as_json_objects;
    return out.finish();
}

}  // namespace

void register_TGen(py::module_& m) {
    ClassBuilder(m, "TGen", py::make_tuple(m.attr("VantorTransformer")),
                 "Generic function transform: applies an n-argument function or estimator to tuples of distinct columns.")
        .method("__init__",
                "self, fun, name, arg_count, datatypes_list, feat_constraints_list, tgraph=None, apply_all=True, "
                "col_names=None, col_dtypes=None, col_as_json_objects=None",
                &TGen_init,
                "Wrap an arg_count-argument function or estimator-like object; one datatype list and one constraint list per argument.")
        .method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &TGen_transform,
                "Append the new columns of every fitted candidate tuple (or return them alone when "
                "return_new_cols_only is True); records new_column_names_, new_column_dtypes_ and "
                "new_column_as_json_objects_.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TGen_get_candidates_space_descriptor,
                "Candidate space with one dimension per argument: the column ids eligible for it.")
        .method("get_candidates", "self, df, col_names, col_dtypes", &TGen_get_candidates,
                "List of the eligible tuples of distinct column ids, first argument slowest.")
        .method("get_candidates_sub", "self, df, current_arg, colids_tuple_list, col_names, col_dtypes",
                &TGen_get_candidates_sub,
                "Extend every tuple of colids_tuple_list by the eligible ids of argument current_arg, recursively.")
        .method("combined_param_name", "self, candidate_cols_ids, col_names", &TGen_combined_param_name,
                "The names of the tuple's columns, each followed by '___'.")
        .method("namestr", "self, obj, namespace", &TGen_namestr,
                "Keys of the mapping namespace whose value is obj itself.")
        .static_method("get_df_from_tuple_of_series", "tofseries", &TGen_get_df_from_tuple_of_series,
                       "Name the Series '0', '1', ... (in place) and join them side by side into a DataFrame.")
        .method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", &TGen_fit,
                "Record the input columns' names, dtypes and JSON name objects, choose candidates_ and, for "
                "an estimator-like function, fit one clone per candidate.")
        .method("all_fc_satisifed", "self, fcs, dfc, dfcname", &TGen_all_fc_satisifed,
                "True unless a constraint of fcs returns the object False for the column.")
        .finish();
}

}  // namespace karrow::module
