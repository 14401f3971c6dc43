// The building blocks of CandidatesSpaceDescriptor, step by step on Python objects.
#include "module/candidate_space_steps.hpp"

#include <cstdint>

#include "binding/helpers.hpp"
#include "core/candidate_space.hpp"

namespace karrow::module::space_steps {

using namespace karrow::binding;

namespace {

std::size_t dimension_count(const py::object& self) { return py::len(self.attr("matching_colids_by_arg")); }

py::object remainder_of(const py::object& a, const py::object& b) {
    py::object r = py::reinterpret_steal<py::object>(PyNumber_Remainder(a.ptr(), b.ptr()));
    if (!r) throw py::error_already_set();
    return r;
}

Py_ssize_t as_index(const py::object& value) {
    py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!i) throw py::error_already_set();
    const Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

}  // namespace

py::object sorted(py::handle iterable) { return H().builtins.attr("sorted")(iterable); }

std::size_t checked_level(std::size_t level) {
    if (level > karrow::core::max_dimensions - 1) {
        raise(PyExc_OverflowError, "a candidate space handles at most 63 dimensions");
    }
    return level;
}

py::object build_tree_desc(py::object self, py::object arg_index, py::object colids_on_path,
                                py::object current_tree, py::object current_node_id) {
    py::object dims = self.attr("matching_colids_by_arg");
    if (dims.attr("get")(arg_index).is_none()) return current_tree;
    py::object colids = dims[arg_index];

    if (arg_index.equal(py::int_(0))) {
        py::int_ current_size(py::len(colids));
        py::list path;
        path.append(sorted(colids));
        py::tuple root_id = py::make_tuple(0);
        current_tree[root_id] = py::make_tuple(current_size, current_size, path, py::make_tuple(py::len(colids)));
        return build_tree_desc(self, py::int_(1), path, current_tree, root_id);
    }

    const Py_ssize_t k = as_index(arg_index);
    if (k < 0) raise(PyExc_ValueError, "arg_index must not be negative");
    const std::size_t length = checked_level(static_cast<std::size_t>(k));
    const std::uint64_t rows = std::uint64_t{1} << length;
    // The selection vectors are rows of a numpy array: their entries, and every
    // size computed from them, are numpy integers, whose arithmetic (a remainder
    // by zero among them) is numpy's.
    py::object select_entries = H().np.attr("array")(py::make_tuple(0, 1));
    for (std::uint64_t combi_index = 0; combi_index < rows; ++combi_index) {
        const std::uint64_t select_combi = karrow::core::selection_bits(combi_index, length);
        py::object subset_select = py::set(colids);
        py::list seq_subset_size;
        py::object current_size = py::int_(1);
        for (std::size_t level = 0; level < length; ++level) {
            const bool inside = (select_combi >> level) & 1u;
            py::object parent_seq = current_tree[current_node_id][py::int_(3)];
            py::object current_subset_size = py::object(parent_seq[py::int_(level)]) - select_entries[py::int_(inside ? 1 : 0)];
            current_size = current_size * current_subset_size;
            seq_subset_size.append(current_subset_size);
            py::set level_subset(colids_on_path[py::int_(level)]);
            subset_select = inside ? (subset_select & level_subset) : (subset_select - level_subset);
        }
        py::int_ subset_len(py::len(subset_select));
        seq_subset_size.append(subset_len);
        current_size = current_size * subset_len;
        if (current_size > py::int_(0)) {
            py::object new_node_id = current_node_id + py::make_tuple(py::int_(combi_index));
            py::list node_path;
            node_path.append(sorted(subset_select));
            current_tree[new_node_id] = py::make_tuple(subset_len, current_size, colids_on_path + node_path,
                                                       py::tuple(seq_subset_size));
            py::list child_path;
            child_path.append(sorted(subset_select));
            current_tree = build_tree_desc(self, arg_index + py::int_(1), colids_on_path + child_path,
                                                current_tree, new_node_id);
        }
    }
    return current_tree;
}

py::object tree_desc(py::object self) {
    return build_tree_desc(self, py::int_(0), py::list(), py::dict(), py::none());
}

py::object fill_cumul_tree(py::object self, py::object tree_desc, py::object current_node_id,
                                             py::object current_cumul_tree, py::object current_cumul) {
    const std::size_t depth = py::len(current_node_id);
    if (depth == dimension_count(self)) {
        if (truthy(tree_desc.attr("get")(current_node_id))) {
            current_cumul_tree[current_node_id] =
                py::make_tuple(current_cumul, tree_desc[current_node_id][py::int_(1)]);
        }
        return current_cumul_tree;
    }
    py::object subtree_size = py::none();
    const std::size_t level = checked_level(depth + 1);
    bool first = true;
    py::object first_node_id = py::none();
    for (std::uint64_t idx = 0; idx < (std::uint64_t{1} << level); ++idx) {
        py::object curr_node_id = current_node_id + py::make_tuple(py::int_(idx));
        if (!truthy(tree_desc.attr("get")(curr_node_id))) continue;
        if (first) {
            first = false;
            first_node_id = curr_node_id;
            current_cumul_tree =
                fill_cumul_tree(self, tree_desc, curr_node_id, current_cumul_tree, current_cumul);
            subtree_size = current_cumul_tree[curr_node_id][py::int_(1)];
        } else {
            py::object start = py::object(current_cumul_tree[first_node_id][py::int_(0)]) + subtree_size;
            current_cumul_tree =
                fill_cumul_tree(self, tree_desc, curr_node_id, current_cumul_tree, start);
            subtree_size = subtree_size + current_cumul_tree[curr_node_id][py::int_(1)];
        }
    }
    if (subtree_size.is_none()) {
        current_cumul_tree[current_node_id] = py::make_tuple(current_cumul, 0);
    } else {
        current_cumul_tree[current_node_id] =
            py::make_tuple(current_cumul_tree[first_node_id][py::int_(0)], subtree_size);
    }
    return current_cumul_tree;
}

py::object cumul_tree(py::object self, py::object tree) {
    return fill_cumul_tree(self, tree, py::tuple(), py::dict(), py::int_(0));
}

py::object node_id(py::object self, py::object cumul_tree, py::object current_node_id, py::object index) {
    const std::size_t depth = py::len(current_node_id);
    if (depth == dimension_count(self)) return current_node_id;
    const std::size_t level = checked_level(depth + 1);
    for (std::uint64_t idx = 0; idx < (std::uint64_t{1} << level); ++idx) {
        py::object curr_node_id = current_node_id + py::make_tuple(py::int_(idx));
        if (!truthy(cumul_tree.attr("get")(curr_node_id))) continue;
        py::object left = cumul_tree[curr_node_id][py::int_(0)];
        if (!(left <= index)) continue;
        if (index < left + cumul_tree[curr_node_id][py::int_(1)]) {
            return node_id(self, cumul_tree, curr_node_id, index);
        }
    }
    return py::none();
}

py::object candidate_in(py::object self, py::object cumul_tree, py::object desc_tree, py::object index) {
    py::object associated_node_id = node_id(self, cumul_tree, py::tuple(), index);
    py::object left_cumul = cumul_tree[associated_node_id][py::int_(0)];
    py::object desc_tree_node = desc_tree[associated_node_id];
    py::list seq_colids_subset(H().builtins.attr("reversed")(desc_tree_node[py::int_(2)]));
    py::object actual_index = index - left_cumul;
    bare_assert(actual_index >= py::int_(0));
    py::list candidate_seq;
    for (py::handle subset : seq_colids_subset) {
        py::object this_subset = py::reinterpret_borrow<py::object>(subset);
        py::list colids_subset = sorted(py::set(this_subset) - py::set(candidate_seq));
        py::int_ subset_len(py::len(colids_subset));
        py::object idx = remainder_of(actual_index, subset_len);
        candidate_seq.append(colids_subset[idx]);
        py::object taken_off = actual_index - idx;
        actual_index = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(taken_off.ptr(), subset_len.ptr()));
        if (!actual_index) throw py::error_already_set();
    }
    candidate_seq.attr("reverse")();
    if (py::len(candidate_seq) > 1) return py::tuple(candidate_seq);
    return candidate_seq[py::int_(0)];
}

py::object size(py::object self) {
    py::object tree = tree_desc(self);
    // The count is a Python int, as the native tree gives it, whichever
    // integers the tree's arithmetic left in the cumulative table.
    return py::int_(py::object(cumul_tree(self, tree)[py::tuple()][py::int_(1)]));
}

py::object candidate(const py::object& self, const py::object& index) {
    py::object tree = tree_desc(self);
    return candidate_in(self, cumul_tree(self, tree), tree, index);
}

}  // namespace karrow::module::space_steps
