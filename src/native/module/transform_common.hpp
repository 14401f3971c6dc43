// Steps shared by the transform classes.
#pragma once

#include <pybind11/pybind11.h>

namespace karrow::module {

namespace py = pybind11;

// df[:, colid]
py::object column(py::handle df, py::handle colid);
py::object column(py::handle df, py::ssize_t colid);

// df.iloc[:, position]
py::object iloc_column(py::handle df, py::handle position);

// a[..., None]
py::object with_trailing_axis(py::handle a);

// The fit defaults: col_names / col_dtypes from the attributes when None, and the
// JSON name objects built from the names when neither argument nor attribute
// gives them. Stores col_names, col_dtypes, col_names_, col_dtypes_,
// col_as_json_objects_ in that order.
struct FitColumns {
    py::object names, dtypes, json;
};
FitColumns fit_columns(py::object self, py::object col_names, py::object col_dtypes, py::object col_as_json_objects);

// The constraint check: predicates in order, answers from / into the graph's
// cache, rejection only on the object False.
bool all_fc_satisfied(py::handle tgraph, py::handle fcs, py::handle dfc, py::handle colname);

// tgraph is not None and tgraph.multiprocessing is True
bool use_pool(py::handle tgraph);

// tgraph.max_feature_generate_one_node when tgraph is not None, else None
py::object reduction_limit(py::handle tgraph);

// multiprocessing.Pool(n_jobs).map(fn, items), order-preserving; the pool is
// closed and joined (or terminated on error) before returning.
py::list pool_map(py::object fn, py::object items, py::object n_jobs);

}  // namespace karrow::module
