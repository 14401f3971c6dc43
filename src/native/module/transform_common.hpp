// Steps shared by the transform classes.
#pragma once

#include <pybind11/pybind11.h>

#include "module/column_assembly.hpp"

namespace karrow::module {

namespace py = pybind11;

// The column arguments of __init__, stored as col_names, col_dtypes,
// col_as_json_objects in that order.
void store_column_args(py::handle self, py::handle col_names, py::handle col_dtypes, py::handle col_as_json_objects);

// The new columns' bookkeeping after a transform: new_column_names_,
// new_column_dtypes_, new_column_as_json_objects_, stored in that order.
void record_new_columns(py::handle self, py::handle names, py::handle dtypes, py::handle json_objects);

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

// The fit's choice of candidates, kept in self.<attr>: the candidate space is
// described, self.<attr> set to None, then to the graph's reduction of the space
// when the graph gives a limit.
void reduce_candidates(py::handle self, py::handle X, const FitColumns& cols, const char* attr);

// reduce_candidates, then all of self.get_candidates(X, ...) when that left None.
void choose_candidates(py::handle self, py::handle X, const FitColumns& cols, const char* attr);

// `assert` that self's candidate space for df is as large as the candidate list.
void assert_space_size(py::handle self, py::handle df, py::handle col_names, py::handle col_dtypes,
                       py::handle candidates);

// str(col_dtypes[colid]); a lookup that fails gets the column count and the
// column printed before its error goes on.
py::str dtype_text_reporting(py::handle df, py::handle col_dtypes, py::handle colid);

// Whether column colid of df suits one argument position: its dtype text ty is
// in the resolved families of self.<datatypes>, and only then
// self.<check>(dfc, name) is true.
bool column_eligible(py::handle self, const char* datatypes, const char* check, const py::str& ty, py::handle df,
                     py::handle colid, py::handle col_names);

// What happens when col_dtypes cannot give a column's dtype text.
enum class OnDtypeError { report, pass_on };

// The ids in range(ncols) of the columns eligible for one argument position
// (column_eligible), ascending.
py::list eligible_colids(py::handle self, const char* datatypes, const char* check, py::handle df, py::handle ncols,
                         py::handle col_names, py::handle col_dtypes, OnDtypeError on_error);

// [t[0], t[1]]
py::list first_two(py::handle t);

// A call's result as an array, by the name of its type: a csr_matrix (and any
// type not named here) through toarray(), an ndarray as it is, a DataFrame's
// values, a Series' values as one column. A tuple goes through the caller's own
// rule; `values` is how the caller reads a frame's or a series' values.
py::object output_as_array(py::object nc, py::object (*tuple_as_array)(py::object), py::object (*values)(py::handle));

// The constraint check: predicates in order, answers from / into the graph's
// cache, rejection only on the object False.
bool all_fc_satisfied(py::handle tgraph, py::handle fcs, py::handle dfc, py::handle colname);

// A CandidatesSpaceDescriptor with the single dimension `colids`.
py::object one_dimension_space(py::list colids);

// tgraph is not None and tgraph.multiprocessing is True
bool use_pool(py::handle tgraph);

// tgraph.max_feature_generate_one_node when tgraph is not None, else None
py::object reduction_limit(py::handle tgraph);

// multiprocessing.Pool(n_jobs).map(fn, items), order-preserving; the pool is
// closed and joined (or terminated on error) before returning.
py::list pool_map(py::object fn, py::object items, py::object n_jobs);

// self.exec_tr(item, df_=X) for every item, in a pool (pool_map).
py::list pool_exec_tr(py::handle self, py::handle X, py::object items, py::object n_jobs);

// One new block of columns: its dtype recorded, then the block added to out.
void add_block(py::object block, py::list& new_col_dtypes, ColumnAssembler& out);

// The pool's blocks added to out in order, each one's dtype recorded; every block
// leaves the list as it is added, so the result holds the only copy.
void add_pooled_blocks(py::list& blocks, py::list& new_col_dtypes, ColumnAssembler& out);

}  // namespace karrow::module
