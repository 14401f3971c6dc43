// The candidate spaces and candidate lists of the families, as the methods
// get_candidates_space_descriptor / get_candidates(_sub) bind them.
#pragma once

#include <pybind11/pybind11.h>

namespace karrow::module {

namespace py = pybind11;

// TA2: two dimensions (first-argument ids, then second-argument ids; only the
// first argument's dtype lookups are reported), and the ordered pairs of
// distinct eligible columns, first argument slowest.
py::object TA2_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes);
py::object TA2_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes);

// TGen: one dimension per argument, and the tuples of distinct eligible
// columns built argument by argument through self.get_candidates_sub.
py::object TGen_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                                py::object col_dtypes);
py::object TGen_get_candidates_sub(py::object self, py::object df, py::object current_arg,
                                   py::object colids_tuple_list, py::object col_names, py::object col_dtypes);
py::object TGen_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes);

// TB1: the ids of the columns whose dtype text is in self.datatypes (as it is
// now: unresolved family names before the first fit) and, only then, whose
// constraints hold; ascending.
py::list TB1_eligible_columns(py::object self, py::object df, py::object col_names, py::object col_dtypes);

// TAM: a singleton space, and the one candidate: every column position in order.
py::object TAM_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes);
py::object TAM_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes);

}  // namespace karrow::module
