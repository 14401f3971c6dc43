// The candidate spaces: an abstract interface, a one-candidate space, and the
// tree-structured space of column-id tuples. CandidatesSpaceDescriptor's building
// blocks live in candidate_space_steps, its fast answers in candidate_space_native.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/candidate_space_native.hpp"
#include "module/candidate_space_steps.hpp"
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

py::object CSD_get_size(py::object self) {
    py::object dims = self.attr("matching_colids_by_arg");
    if (py::len(dims) == 0 || py::len(dims[py::int_(0)]) == 0) return py::int_(0);
    py::object n = space_native::size(self);
    return n ? n : space_steps::size(self);
}

py::object CSD_get_candidate(py::object self, py::object index) {
    py::object c = space_native::candidate(self, index);
    return c ? c : space_steps::candidate(self, index);
}

py::object CSD_get_tree_desc(py::object self) { return space_steps::tree_desc(self); }
py::object CSD__get_size(py::object self) { return space_steps::size(self); }
py::object CSD_compute_cumul_left_tree_size(py::object self, py::object tree) {
    return space_steps::cumul_tree(self, tree);
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
        .method("__init__", "self, candidate", &Singleton_init,
                "Hold the one candidate.")
        .method("get_size", "self", &Singleton_get_size, "Always 1.")
        .method("get_candidate", "self, index", &Singleton_get_candidate,
                "The candidate for index 0; IndexError for any other index.")
        .finish();
}

void register_CandidatesSpaceDescriptor(py::module_& m) {
    ClassBuilder(m, "CandidatesSpaceDescriptor", py::make_tuple(m.attr("AbstractCandidatesSpaceDescriptor")),
                 "The tuples of distinct column ids, one per dimension, counted and indexed through a tree of blocks.")
        .method("__init__", "self", &CSD_init,
                "An empty space; add one dimension per argument with add_dimension_spec.")
        .method("get_size", "self", &CSD_get_size,
                "Number of candidates; 0 without dimensions or with an empty first dimension.")
        .method("_get_size", "self", &CSD__get_size,
                "Number of candidates, from a freshly built tree and cumulative table.")
        .method("add_dimension_spec", "self, matching_colids", &CSD_add_dimension_spec,
                "Append a dimension: the list of column ids allowed for the next argument.")
        .method("get_tree_desc", "self", &CSD_get_tree_desc,
                "The description tree: node id -> (subset size, current_size, colids_on_path, seq_subset_size).")
        .method("_build_tree_desc", "self, arg_index, colids_on_path, current_tree, current_node_id",
                &space_steps::build_tree_desc, "Add the nodes of dimension arg_index below current_node_id, and beneath.")
        .method("compute_cumul_left_tree_size", "self, tree", &CSD_compute_cumul_left_tree_size,
                "The cumulative table: node id -> (left_cumul, subtree_size), () for the whole space.")
        .method("_compute_cumul_left_tree_size",
                "self, tree_desc, current_node_id, current_cumul_tree, current_cumul",
                &space_steps::fill_cumul_tree, "Fill the cumulative table below current_node_id, depth first.")
        .method("_get_node_id", "self, cumul_tree, current_node_id, index", &space_steps::node_id,
                "The leaf whose block holds index, or None.")
        .method("get_candidate", "self, index", &CSD_get_candidate,
                "The candidate at position index: a column id for one dimension, else a tuple.")
        .method("_get_candidate", "self, cumul_tree, desc_tree, index", &space_steps::candidate_in,
                "Decode index inside its leaf block, last dimension fastest.")
        .finish();
}

}  // namespace karrow::module
