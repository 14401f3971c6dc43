#include "module/transform_common.hpp"

#include "binding/helpers.hpp"
#include "module/data_utils.hpp"

#include <string>
#include <utility>

namespace karrow::module {

using namespace karrow::binding;

void store_column_args(py::handle self, py::handle col_names, py::handle col_dtypes, py::handle col_as_json_objects) {
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_as_json_objects") = col_as_json_objects;
}

void store_attributes(py::handle self, Attributes attrs) {
    for (const auto& [name, value] : attrs) self.attr(name) = value;
}

void name_object(py::handle self, const char* prefix, py::handle name) {
    self.attr("uid") = make_uid(prefix, name);
    self.attr("long_name") = self.attr("uid");
}

py::object or_empty_list(py::object value) { return value.is_none() ? py::object(py::list()) : value; }

void record_new_columns(py::handle self, py::handle names, py::handle dtypes, py::handle json_objects) {
    self.attr("new_column_names_") = names;
    self.attr("new_column_dtypes_") = dtypes;
    self.attr("new_column_as_json_objects_") = json_objects;
}

py::object column(py::handle df, py::handle colid) {
    return df[py::make_tuple(py::slice(py::none(), py::none(), py::none()), colid)];
}

py::object column(py::handle df, py::ssize_t colid) { return column(df, py::int_(colid)); }

py::object iloc_column(py::handle df, py::handle position) {
    return df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), position)];
}

py::object with_trailing_axis(py::handle a) { return a[py::make_tuple(py::ellipsis(), py::none())]; }

FitColumns fit_columns(py::object self, py::object col_names, py::object col_dtypes, py::object col_as_json_objects) {
    if (col_names.is_none()) col_names = self.attr("col_names");
    if (col_dtypes.is_none()) col_dtypes = self.attr("col_dtypes");
    if (col_as_json_objects.is_none()) {
        py::object attr = self.attr("col_as_json_objects");
        if (attr.is_none() && !col_names.is_none()) {
            py::list built;
            for (auto n : col_names) built.append(get_json_for_name(n));
            col_as_json_objects = std::move(built);
        } else {
            col_as_json_objects = attr;
        }
    }
    self.attr("col_names") = col_names;
    self.attr("col_dtypes") = col_dtypes;
    self.attr("col_names_") = col_names;
    self.attr("col_dtypes_") = col_dtypes;
    self.attr("col_as_json_objects_") = col_as_json_objects;
    return {col_names, col_dtypes, col_as_json_objects};
}

void reduce_candidates(py::handle self, py::handle X, const FitColumns& cols, const char* attr) {
    py::object tree_desc = self.attr("get_candidates_space_descriptor")(X, cols.names, cols.dtypes);
    self.attr(attr) = py::none();
    py::object limit = reduction_limit(self.attr("tgraph"));
    if (!limit.is_none()) {
        self.attr(attr) = self.attr("reduce_count_of_candidates_from_search_space_descriptor")(tree_desc, limit);
    }
}

void choose_candidates(py::handle self, py::handle X, const FitColumns& cols, const char* attr) {
    reduce_candidates(self, X, cols, attr);
    if (self.attr(attr).is_none()) {
        self.attr(attr) = self.attr("get_candidates")(X, cols.names, cols.dtypes);
    }
}

void assert_space_size(py::handle self, py::handle df, py::handle col_names, py::handle col_dtypes,
                       py::handle candidates) {
    py::object desc = self.attr("get_candidates_space_descriptor")(df, col_names, col_dtypes);
    py::object search_space_size = desc.attr("get_size")();
    py::int_ count(py::len(candidates));
    if (search_space_size.not_equal(count)) bare_assert(search_space_size.equal(count));
}

py::str dtype_text_reporting(py::handle df, py::handle col_dtypes, py::handle colid) {
    try {
        return py::str(col_dtypes[colid]);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        binding::print(item(df.attr("shape"), 1));
        binding::print(column(df, colid));
        throw;
    }
}

bool column_eligible(py::handle self, const char* datatypes, const char* check, const py::str& ty, py::handle df,
                     py::handle colid, py::handle col_names) {
    if (!contains(resolve_basic_datatypes(self.attr(datatypes)), ty)) return false;
    py::object dfc = column(df, colid);
    py::object name = col_names[colid];
    return truthy(self.attr(check)(dfc, name));
}

py::list eligible_colids(py::handle self, const char* datatypes, const char* check, py::handle df, py::handle ncols,
                         py::handle col_names, py::handle col_dtypes, OnDtypeError on_error) {
    py::list colids;
    for (auto colid : py_range(ncols)) {
        py::str ty = on_error == OnDtypeError::report ? dtype_text_reporting(df, col_dtypes, colid)
                                                      : py::str(col_dtypes[colid]);
        if (column_eligible(self, datatypes, check, ty, df, colid, col_names)) colids.append(colid);
    }
    return colids;
}

py::object namestr_method(py::object, py::object obj, py::object ns) { return namestr(obj, ns); }

bool single_column(py::handle self, py::handle X) {
    if (item(X.attr("shape"), 1).not_equal(py::int_(1))) {
        binding::print(py::str("More columns than 1 provided for apply_all in transform ") + self.attr("name"));
        return false;
    }
    py::list only_column;
    only_column.append(py::int_(0));
    self.attr("colids_") = only_column;
    return true;
}

bool refuses_width(py::handle self, py::handle X) {
    if (!is_false(self.attr("apply_all")) || item(X.attr("shape"), 1).equal(py::int_(1))) return false;
    binding::print(py::str(" More than admissible number of columns provided for transform with apply_all=False "
                           "for transform ") +
                   self.attr("name"));
    return true;
}

py::list first_two(py::handle t) {
    py::list out;
    out.append(item(t, 0));
    out.append(item(t, 1));
    return out;
}

py::object frame_of_series(py::handle tofseries) {
    py::list series;
    const py::ssize_t count = py::len(tofseries);
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object s = item(tofseries, i);
        s.attr("name") = py::str(std::to_string(i));
        series.append(s);
    }
    return H().pd.attr("concat")(series, py::arg("axis") = 1);
}

namespace {

// pandas with copy-on-write hands out read-only views from `.values`; the NaN
// replacement that follows writes into the array, as it did with the writable
// views older pandas returned, so a function's read-only view is copied first.
py::object values_of(py::handle frame_or_series, OutputOf of) {
    py::object values = frame_or_series.attr("values");
    if (of == OutputOf::function && is_ndarray(values) && !py::reinterpret_borrow<py::array>(values).writeable()) {
        values = values.attr("copy")();
    }
    return values;
}

// A function's tuple of Series becomes the frame of its first two, a tuple of
// arrays is joined side by side (1-d ones as single columns); an estimator's
// tuple is read as a pair of Series, through TGen's method as it is now.
py::object tuple_as_array(py::object nc, OutputOf of) {
    if (of == OutputOf::estimator) {
        return module_class("TGen").attr("get_df_from_tuple_of_series")(first_two(nc)).attr("values");
    }
    if (type_name(item(nc, 0)) == "Series") return values_of(frame_of_series(first_two(nc)), of);
    py::list parts;
    for (auto e : nc) {
        const bool one_dim = py::len(e.attr("shape")) == 1;
        parts.append(one_dim ? with_trailing_axis(e) : py::reinterpret_borrow<py::object>(e));
    }
    return H().np.attr("concatenate")(parts, py::arg("axis") = 1);
}

}  // namespace

py::object output_as_array(py::object nc, OutputOf of) {
    const std::string kind = type_name(nc);
    if (kind == "csr_matrix") return nc.attr("toarray")();
    if (kind == "tuple") return tuple_as_array(nc, of);
    if (kind == "ndarray") return nc;
    if (kind == "DataFrame") return values_of(nc, of);
    if (kind == "Series") return with_trailing_axis(values_of(nc, of));
    return nc.attr("toarray")();
}

bool all_fc_satisfied(py::handle tgraph, py::handle fcs, py::handle dfc, py::handle colname) {
    const bool has_graph = !tgraph.is_none();
    for (auto fc : fcs) {
        py::object fcname = fc.attr("__name__");
        py::object res;
        if (has_graph && truthy(tgraph.attr("fcache_contains_key")(fcname, colname))) {
            res = tgraph.attr("does_col_satisfy_fc")(fcname, colname);
        } else {
            res = py::reinterpret_borrow<py::object>(fc)(dfc);
            if (has_graph) tgraph.attr("add_to_fc_cache")(fcname, colname, res);
        }
        if (is_false(res)) return false;
    }
    return true;
}

py::object one_dimension_space(py::list colids) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    desc.attr("add_dimension_spec")(colids);
    return desc;
}

bool use_pool(py::handle tgraph) { return !tgraph.is_none() && is_true(tgraph.attr("multiprocessing")); }

py::object reduction_limit(py::handle tgraph) {
    if (tgraph.is_none()) return py::none();
    return tgraph.attr("max_feature_generate_one_node");
}

py::object open_pool(py::object n_jobs) { return H().multiprocessing.attr("Pool")(std::move(n_jobs)); }

void discard_pool(const py::object& pool) {
    pool.attr("terminate")();
    pool.attr("join")();
}

py::list pool_map(const py::object& pool, py::object fn, py::object items) {
    py::list out;
    try {
        out = pool.attr("map")(fn, items);
    } catch (py::error_already_set&) {
        discard_pool(pool);
        throw;
    }
    pool.attr("close")();
    pool.attr("join")();
    return out;
}

py::list pool_exec_tr(const py::object& pool, py::handle self, py::handle X, py::object items) {
    py::object exec_tr = H().functools.attr("partial")(self.attr("exec_tr"), py::arg("df_") = X);
    return pool_map(pool, exec_tr, std::move(items));
}

void add_block(py::object block, py::list& new_col_dtypes, ColumnAssembler& out) {
    new_col_dtypes.append(block.attr("dtype"));
    out.add(std::move(block));
}

void add_pooled_blocks(py::list& blocks, py::list& new_col_dtypes, ColumnAssembler& out) {
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(blocks.size()); ++i) {
        py::object block = blocks[i];
        blocks[i] = py::none();
        add_block(std::move(block), new_col_dtypes, out);
    }
}

}  // namespace karrow::module
