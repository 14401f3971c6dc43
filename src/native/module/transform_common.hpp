// Steps shared by the transform classes.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "module/column_assembly.hpp"

namespace karrow::module {

namespace py = pybind11;

// The column arguments of __init__, stored as col_names, col_dtypes,
// col_as_json_objects in that order.
void store_column_args(py::handle self, py::handle col_names, py::handle col_dtypes, py::handle col_as_json_objects);

// A constructor's attributes, set in the given order (the order of vars(obj)).
using Attributes = std::initializer_list<std::pair<const char*, py::handle>>;
void store_attributes(py::handle self, Attributes attrs);
// uid = prefix + str(name) + "_" + str(uuid.uuid4()), and long_name the same.
void name_object(py::handle self, const char* prefix, py::handle name);
// value, or a new empty list for None
py::object or_empty_list(py::object value);

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

// namestr(self, obj, namespace) as a method.
py::object namestr_method(py::object self, py::object obj, py::object ns);

// Single-column mode (apply_all not True) at fit: with exactly one column,
// colids_ = [0] and true; otherwise the refusal is printed and false.
bool single_column(py::handle self, py::handle X);

// apply_all is the object False and X has other than one column: the refusal
// is printed and true.
bool refuses_width(py::handle self, py::handle X);

// [t[0], t[1]]
py::list first_two(py::handle t);

// Whose output is read: a function's (TGen) or an estimator's (TB1).
enum class OutputOf { function, estimator };

// A call's result as an array, by the name of its type: a csr_matrix (and any
// type not named here) through toarray(), an ndarray as it is, a DataFrame's
// values, a Series' values as one column, a tuple as its reader decides.
py::object output_as_array(py::object nc, OutputOf of);

// Names the Series "0", "1", ... (in place) and joins them side by side.
py::object frame_of_series(py::handle tofseries);

// The constraint check: predicates in order, answers from / into the graph's
// cache, rejection only on the object False.
bool all_fc_satisfied(py::handle tgraph, py::handle fcs, py::handle dfc, py::handle colname);

// all_fc_satisifed(self, dfc, name): the constraint check over self.<Attr>.
inline constexpr char kFeatConstraints[] = "feat_constraints";
inline constexpr char kFeatConstraints1[] = "feat_constraints1";
inline constexpr char kFeatConstraints2[] = "feat_constraints2";
template <const char* Attr>
py::object constraints_method(py::object self, py::object dfc, py::object name) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr(Attr), dfc, name));
}

// A CandidatesSpaceDescriptor with the single dimension `colids`.
py::object one_dimension_space(py::list colids);

// The ids of the eligible columns of df for a one-dimension family.
using EligibleFn = py::list (*)(py::object self, py::object df, py::object col_names, py::object col_dtypes);

// get_candidates_space_descriptor: one dimension, the eligible ids.
template <EligibleFn F>
py::object one_dimension_descriptor(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    return one_dimension_space(F(self, df, col_names, col_dtypes));
}

// get_candidates: the eligible ids, asserted to match the descriptor's size.
template <EligibleFn F>
py::object checked_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::list ids = F(self, df, col_names, col_dtypes);
    assert_space_size(self, df, col_names, col_dtypes, ids);
    return std::move(ids);
}

// tgraph is not None and tgraph.multiprocessing is True
bool use_pool(py::handle tgraph);

// tgraph.max_feature_generate_one_node when tgraph is not None, else None
py::object reduction_limit(py::handle tgraph);

// multiprocessing.Pool(n_jobs), for one transform call.
py::object open_pool(py::object n_jobs);
// Terminates and joins a pool the call no longer needs.
void discard_pool(const py::object& pool);

// pool.map(fn, items), order-preserving; the pool is closed and joined (or
// terminated on error) before returning.
py::list pool_map(const py::object& pool, py::object fn, py::object items);

// self.exec_tr(item, df_=X) for every item, in the pool (pool_map).
py::list pool_exec_tr(const py::object& pool, py::handle self, py::handle X, py::object items);

// One new block of columns: its dtype recorded, then the block added to out.
void add_block(py::object block, py::list& new_col_dtypes, ColumnAssembler& out);

// The pool's blocks added to out in order, each one's dtype recorded; every block
// leaves the list as it is added, so the result holds the only copy.
void add_pooled_blocks(py::list& blocks, py::list& new_col_dtypes, ColumnAssembler& out);

}  // namespace karrow::module
