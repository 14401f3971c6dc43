// The candidate spaces: an abstract interface, a one-candidate space, and the
// tree-structured space of column-id tuples.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object Abstract_get_size(py::object /*self*/) { return py::none(); }
py::object Abstract_get_candidate(py::object /*self*/, py::object /*index*/) { return py::none(); }

py::object Singleton_init(py::object self, py::object candidate) {
    self.attr("candidate") = candidate;
    return py::none();
}

py::object Singleton_get_size(py::object /*self*/) { return py::int_(1); }

py::object Singleton_get_candidate(py::object self, py::object index) {
    if (index.equal(py::int_(0))) return self.attr("candidate");
    PyErr_SetNone(PyExc_IndexError);
    throw py::error_already_set();
}

py::object CSD_init(py::object self) {
    self.attr("matching_colids_by_arg") = py::dict();
    return py::none();
}

py::object CSD_add_dimension_spec(py::object self, py::object matching_colids) {
    py::object dims = self.attr("matching_colids_by_arg");
    dims[py::int_(py::len(dims))] = matching_colids;
    return py::none();
}

}  // namespace

void register_AbstractCandidatesSpaceDescriptor(py::module_& m) {
    ClassBuilder(m, "AbstractCandidatesSpaceDescriptor", py::make_tuple(m.attr("ABC")),
                 "A space of candidates that can be counted and indexed without listing it.")
        .abstract_method("get_size", "self", &Abstract_get_size, "Number of candidates.")
        .abstract_method("get_candidate", "self, index", &Abstract_get_candidate, "The candidate at position index.")
        .finish();
}

void register_SingletonCandidateSpaceDescriptor(py::module_& m) {
    ClassBuilder(m, "SingletonCandidateSpaceDescriptor", py::make_tuple(m.attr("AbstractCandidatesSpaceDescriptor")),
                 "A space holding exactly one candidate.")
        .method("__init__", "self, candidate", &Singleton_init)
        .method("get_size", "self", &Singleton_get_size, "Always 1.")
        .method("get_candidate", "self, index", &Singleton_get_candidate,
                "The candidate for index 0; IndexError for any other index.")
        .finish();
}

void register_CandidatesSpaceDescriptor(py::module_& m) {
    ClassBuilder(m, "CandidatesSpaceDescriptor", py::make_tuple(m.attr("AbstractCandidatesSpaceDescriptor")),
                 "The tuples of distinct column ids, one per dimension, counted and indexed through a tree of blocks.")
        .method("__init__", "self", &CSD_init)
        .pending("get_size", "self")
        .pending("_get_size", "self")
        .method("add_dimension_spec", "self, matching_colids", &CSD_add_dimension_spec,
                "Append a dimension: the list of column ids allowed for the next argument.")
        .pending("get_tree_desc", "self")
        .pending("_build_tree_desc", "self, arg_index, colids_on_path, current_tree, current_node_id")
        .pending("compute_cumul_left_tree_size", "self, tree")
        .pending("_compute_cumul_left_tree_size", "self, tree_desc, current_node_id, current_cumul_tree, current_cumul")
        .pending("_get_node_id", "self, cumul_tree, current_node_id, index")
        .pending("get_candidate", "self, index")
        .pending("_get_candidate", "self, cumul_tree, desc_tree, index")
        .finish();
}

}  // namespace karrow::module
