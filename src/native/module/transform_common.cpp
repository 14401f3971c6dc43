#include "module/transform_common.hpp"

#include "binding/helpers.hpp"
#include "module/data_utils.hpp"

namespace karrow::module {

using namespace karrow::binding;

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

bool use_pool(py::handle tgraph) { return !tgraph.is_none() && is_true(tgraph.attr("multiprocessing")); }

py::object reduction_limit(py::handle tgraph) {
    if (tgraph.is_none()) return py::none();
    return tgraph.attr("max_feature_generate_one_node");
}

py::list pool_map(py::object fn, py::object items, py::object n_jobs) {
    py::object pool = H().multiprocessing.attr("Pool")(n_jobs);
    py::list out;
    try {
        out = pool.attr("map")(fn, items);
    } catch (py::error_already_set&) {
        pool.attr("terminate")();
        pool.attr("join")();
        throw;
    }
    pool.attr("close")();
    pool.attr("join")();
    return out;
}

}  // namespace karrow::module
