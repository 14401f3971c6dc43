// The building blocks of CandidatesSpaceDescriptor, on Python objects: the
// description tree and the cumulative table as dicts of tuples and lists, built
// and read one step at a time, so that callers can inspect them and feed them
// back in. `size` and `candidate` are the answers these steps give; the native
// tree answers the same questions faster where the ids allow it.
#pragma once

#include <pybind11/pybind11.h>

namespace karrow::module::space_steps {

namespace py = pybind11;

py::object sorted(py::handle iterable);

py::object build_tree_desc(py::object self, py::object arg_index, py::object colids_on_path, py::object current_tree,
                           py::object current_node_id);
py::object tree_desc(py::object self);
py::object fill_cumul_tree(py::object self, py::object tree_desc, py::object current_node_id,
                           py::object current_cumul_tree, py::object current_cumul);
py::object cumul_tree(py::object self, py::object tree);
py::object node_id(py::object self, py::object cumul_tree, py::object current_node_id, py::object index);
py::object candidate_in(py::object self, py::object cumul_tree, py::object desc_tree, py::object index);

// cumul_tree(tree_desc())[()][1]
py::object size(py::object self);
// candidate_in(cumul_tree(tree), tree, index) for a freshly built tree
py::object candidate(const py::object& self, const py::object& index);

// 2**level child ids are tried per node; past 62 levels the row numbers no
// longer fit a machine word: OverflowError.
std::size_t checked_level(std::size_t level);

}  // namespace karrow::module::space_steps
