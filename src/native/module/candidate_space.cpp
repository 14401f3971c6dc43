// The candidate spaces: an abstract interface, a one-candidate space, and the
// tree-structured space of column-id tuples.
//
// `CandidatesSpaceDescriptor` has two faces. Its building blocks (`get_tree_desc`,
// `_build_tree_desc`, `compute_cumul_left_tree_size`, ...) work on plain Python
// dicts, tuples and lists, step by step, so that the tree and the cumulative
// table can be inspected and fed back in. `get_size` and `get_candidate` answer
// from the native tree in core/candidate_space, built over integer ranks of the
// ids, and fall back to the building blocks whenever the ids cannot be ranked
// (unhashable or incomparable ids, odd index types), so that such calls fail or
// succeed exactly as the step-by-step algorithm does.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "core/candidate_space.hpp"
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

// ---------------------------------------------------------------------------
// Shared small pieces

py::object sorted(py::handle iterable) { return H().builtins.attr("sorted")(iterable); }

std::size_t dimension_count(const py::object& self) { return py::len(self.attr("matching_colids_by_arg")); }

// 2**level children ids are tried per node; past 62 levels the row numbers no
// longer fit a machine word (and the walk would never end anyway).
std::size_t checked_level(std::size_t level) {
    if (level > karrow::core::max_dimensions - 1) {
        raise(PyExc_OverflowError, "a candidate space handles at most 63 dimensions");
    }
    return level;
}

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

// ---------------------------------------------------------------------------
// Building blocks on Python objects

py::object CSD__build_tree_desc(py::object self, py::object arg_index, py::object colids_on_path,
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
        return CSD__build_tree_desc(self, py::int_(1), path, current_tree, root_id);
    }

    const Py_ssize_t k = as_index(arg_index);
    if (k < 0) raise(PyExc_ValueError, "arg_index must not be negative");
    const std::size_t length = checked_level(static_cast<std::size_t>(k));
    const std::uint64_t rows = std::uint64_t{1} << length;
    for (std::uint64_t combi_index = 0; combi_index < rows; ++combi_index) {
        const std::uint64_t select_combi = karrow::core::selection_bits(combi_index, length);
        py::object subset_select = py::set(colids);
        py::list seq_subset_size;
        py::object current_size = py::int_(1);
        for (std::size_t level = 0; level < length; ++level) {
            const bool inside = (select_combi >> level) & 1u;
            py::object parent_seq = current_tree[current_node_id][py::int_(3)];
            py::object current_subset_size = py::object(parent_seq[py::int_(level)]) - py::int_(inside ? 1 : 0);
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
            current_tree = CSD__build_tree_desc(self, arg_index + py::int_(1), colids_on_path + child_path,
                                                current_tree, new_node_id);
        }
    }
    return current_tree;
}

py::object CSD_get_tree_desc(py::object self) {
    return CSD__build_tree_desc(self, py::int_(0), py::list(), py::dict(), py::none());
}

py::object CSD__compute_cumul_left_tree_size(py::object self, py::object tree_desc, py::object current_node_id,
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
                CSD__compute_cumul_left_tree_size(self, tree_desc, curr_node_id, current_cumul_tree, current_cumul);
            subtree_size = current_cumul_tree[curr_node_id][py::int_(1)];
        } else {
            py::object start = py::object(current_cumul_tree[first_node_id][py::int_(0)]) + subtree_size;
            current_cumul_tree =
                CSD__compute_cumul_left_tree_size(self, tree_desc, curr_node_id, current_cumul_tree, start);
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

py::object CSD_compute_cumul_left_tree_size(py::object self, py::object tree) {
    return CSD__compute_cumul_left_tree_size(self, tree, py::tuple(), py::dict(), py::int_(0));
}

py::object CSD__get_node_id(py::object self, py::object cumul_tree, py::object current_node_id, py::object index) {
    const std::size_t depth = py::len(current_node_id);
    if (depth == dimension_count(self)) return current_node_id;
    const std::size_t level = checked_level(depth + 1);
    for (std::uint64_t idx = 0; idx < (std::uint64_t{1} << level); ++idx) {
        py::object curr_node_id = current_node_id + py::make_tuple(py::int_(idx));
        if (!truthy(cumul_tree.attr("get")(curr_node_id))) continue;
        py::object left = cumul_tree[curr_node_id][py::int_(0)];
        if (!(left <= index)) continue;
        if (index < left + cumul_tree[curr_node_id][py::int_(1)]) {
            return CSD__get_node_id(self, cumul_tree, curr_node_id, index);
        }
    }
    return py::none();
}

py::object CSD__get_candidate(py::object self, py::object cumul_tree, py::object desc_tree, py::object index) {
    py::object associated_node_id = CSD__get_node_id(self, cumul_tree, py::tuple(), index);
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

py::object CSD__get_size(py::object self) {
    py::object tree = CSD_get_tree_desc(self);
    py::object cumul_tree = CSD_compute_cumul_left_tree_size(self, tree);
    return cumul_tree[py::tuple()][py::int_(1)];
}

py::object plain_get_candidate(const py::object& self, const py::object& index) {
    py::object tree = CSD_get_tree_desc(self);
    py::object cumul_tree = CSD_compute_cumul_left_tree_size(self, tree);
    return CSD__get_candidate(self, cumul_tree, tree, index);
}

// ---------------------------------------------------------------------------
// Native answers for get_size and get_candidate
//
// The native tree is cached in the instance `__dict__` under `_space_cache`, as
// a `_native_cache.NativeCache` holding a capsule. C++ keeps no state of its own,
// and the cache pickles and copies as an empty one, so pickles, copies and
// clones simply rebuild it on their first call. The tree remembers the list
// objects it was built from and their items; any difference (a new dimension,
// a replaced or edited list, a replaced `matching_colids_by_arg`) rebuilds it,
// at the price of one identity compare per stored id.

constexpr const char* kCapsuleName = "karrow_libs.candidate_space";

// Attribute names read on every call, interned once.
struct HotNames {
    PyObject* dims;
    PyObject* cache;
    PyObject* tree;
};
const HotNames& hot_names() {
    static const HotNames names{PyUnicode_InternFromString("matching_colids_by_arg"),
                                PyUnicode_InternFromString("_space_cache"), PyUnicode_InternFromString("tree")};
    return names;
}

// What a dimension looked like when the tree was built.
struct DimensionSnapshot {
    py::object object;                // as stored (None for a missing dimension)
    py::list items;                   // its items then, kept alive for the compare
    std::vector<PyObject*> pointers;  // the same items, for a flat compare
    bool is_list = false;
    std::size_t same_as = SIZE_MAX;   // an earlier dimension holding the same list
};

struct NativeSpace {
    explicit NativeSpace(karrow::core::SpaceDimensions dims) : space(std::move(dims)) {}
    karrow::core::CandidateSpace space;
    std::vector<DimensionSnapshot> snapshot;
    // False when a dimension is neither a list nor a tuple nor None: its items
    // cannot be compared cheaply, so the tree is rebuilt on every call.
    bool checkable = true;
    // Per dimension, its distinct ids in ascending order: the objects handed out.
    std::vector<py::list> choices;
};

void destroy_native_space(PyObject* capsule) {
    delete static_cast<NativeSpace*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* dimension_at(PyObject* dims, std::size_t k) {
    py::int_ key(k);
    PyObject* value = PyDict_GetItemWithError(dims, key.ptr());
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return value ? value : Py_None;
}

bool still_describes(const NativeSpace& native, PyObject* dims) {
    if (!native.checkable || !PyDict_CheckExact(dims)) return false;
    if (static_cast<std::size_t>(PyDict_GET_SIZE(dims)) != native.snapshot.size()) return false;
    for (std::size_t k = 0; k < native.snapshot.size(); ++k) {
        const DimensionSnapshot& then = native.snapshot[k];
        PyObject* dim = dimension_at(dims, k);
        if (dim != then.object.ptr()) return false;
        // Tuples and None cannot change; a list shared by several dimensions is
        // compared once.
        if (!then.is_list || then.same_as != SIZE_MAX) continue;
        const std::size_t n = then.pointers.size();
        if (static_cast<std::size_t>(PyList_GET_SIZE(dim)) != n) return false;
        if (n && std::memcmp(reinterpret_cast<PyListObject*>(dim)->ob_item, then.pointers.data(),
                             n * sizeof(PyObject*)) != 0) {
            return false;
        }
    }
    return true;
}

// Maps the ids to integer ranks and builds the tree. Python errors (unhashable
// or incomparable ids, a dimension that is not iterable) propagate.
std::unique_ptr<NativeSpace> build_native_space(PyObject* dims) {
    const std::size_t n = static_cast<std::size_t>(PyDict_GET_SIZE(dims));
    if (n > karrow::core::max_dimensions) raise(PyExc_OverflowError, "a candidate space handles at most 63 dimensions");
    karrow::core::SpaceDimensions input;
    std::vector<DimensionSnapshot> snapshot(n);
    std::vector<py::list> choices;
    bool checkable = true;
    py::dict rank_of;
    PyTypeObject* id_type = nullptr;
    bool same_type = true;
    for (std::size_t k = 0; k < n; ++k) {
        DimensionSnapshot& then = snapshot[k];
        then.object = py::reinterpret_borrow<py::object>(dimension_at(dims, k));
        py::list distinct;
        if (!then.object.is_none()) {
            then.items = py::reinterpret_steal<py::list>(PySequence_List(then.object.ptr()));
            if (!then.items) throw py::error_already_set();
            if (k == 0) input.first_count = py::len(then.object);
            // Sorted within its own dimension only: ids of different dimensions
            // are compared for equality, never for order.
            distinct = sorted(py::set(then.items));
            then.is_list = PyList_CheckExact(then.object.ptr());
            checkable = checkable && (then.is_list || PyTuple_CheckExact(then.object.ptr()));
            for (py::handle item : then.items) then.pointers.push_back(item.ptr());
            for (std::size_t j = 0; j < k; ++j) {
                if (snapshot[j].object.ptr() == then.object.ptr()) {
                    then.same_as = j;
                    break;
                }
            }
        }
        for (py::handle id : then.items) {
            PyTypeObject* type = Py_TYPE(id.ptr());
            if (!id_type) id_type = type;
            same_type = same_type && type == id_type;
        }
        std::vector<std::uint32_t> ranks;
        ranks.reserve(py::len(distinct));
        for (py::handle id : distinct) {
            PyObject* known = PyDict_GetItemWithError(rank_of.ptr(), id.ptr());
            if (!known && PyErr_Occurred()) throw py::error_already_set();
            if (known) {
                ranks.push_back(static_cast<std::uint32_t>(PyLong_AsUnsignedLong(known)));
            } else {
                const std::size_t next = py::len(rank_of);
                rank_of[id] = py::int_(next);
                ranks.push_back(static_cast<std::uint32_t>(next));
            }
        }
        input.dims.push_back(std::move(ranks));
        choices.push_back(std::move(distinct));
    }
    input.universe = py::len(rank_of);
    // Ranking identifies ids by hash and ==, which is what the set operations of the
    // building blocks do only when every id has one type whose equal values are
    // interchangeable: ints, strings, or one numpy integer type. Anything else (NaN,
    // which is unequal to itself; 0 next to False; 1 next to numpy's 1) is answered
    // by the building blocks, whose sets decide which of two equal ids is handed out.
    const bool rankable =
        same_type && (id_type == nullptr || id_type == &PyLong_Type || id_type == &PyUnicode_Type ||
                      PyType_IsSubtype(id_type, reinterpret_cast<PyTypeObject*>(H().np.attr("integer").ptr())));
    if (!rankable) return nullptr;

    std::unique_ptr<NativeSpace> native;
    try {
        native = std::make_unique<NativeSpace>(std::move(input));
    } catch (const std::overflow_error&) {
        raise(PyExc_OverflowError, "the number of candidates exceeds 2**64 - 1; _get_size() counts it exactly");
    } catch (const std::length_error& e) {
        raise(PyExc_OverflowError, e.what());
    }
    native->snapshot = std::move(snapshot);
    native->checkable = checkable;
    native->choices = std::move(choices);
    return native;
}

// The native space for the current dimensions, from the cache or freshly
// built; `native` is null when the ids cannot be ranked, and the caller then
// runs the building blocks to get Python's own answer or error.
struct SpaceRef {
    py::object capsule;
    const NativeSpace* native = nullptr;
};

py::object getattr_or_none(PyObject* obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

SpaceRef current_space(const py::object& self) {
    const HotNames& names = hot_names();
    py::object dims = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), names.dims));
    if (!dims) throw py::error_already_set();
    py::object cache = getattr_or_none(self.ptr(), names.cache);
    if (!cache.is_none()) {
        py::object capsule = getattr_or_none(cache.ptr(), names.tree);
        if (PyCapsule_IsValid(capsule.ptr(), kCapsuleName)) {
            auto* native = static_cast<const NativeSpace*>(PyCapsule_GetPointer(capsule.ptr(), kCapsuleName));
            if (still_describes(*native, dims.ptr())) return {capsule, native};
        }
    }
    // A dict subclass may redefine `get`; the building blocks honour that.
    if (!PyDict_CheckExact(dims.ptr())) return {};

    std::unique_ptr<NativeSpace> built;
    try {
        built = build_native_space(dims.ptr());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        return {};
    }
    if (!built) return {};
    SpaceRef ref;
    ref.native = built.get();
    ref.capsule = py::reinterpret_steal<py::object>(PyCapsule_New(built.get(), kCapsuleName, &destroy_native_space));
    if (!ref.capsule) throw py::error_already_set();
    built.release();

    py::object cache_type = py::module_::import("karrow_libs.vantor.transforms._native_cache").attr("NativeCache");
    if (!py::isinstance(cache, cache_type)) {
        cache = cache_type();
        // An instance without a writable __dict__ simply goes uncached.
        if (PyObject_SetAttr(self.ptr(), names.cache, cache.ptr()) != 0) {
            PyErr_Clear();
            return ref;
        }
    }
    if (PyObject_SetAttr(cache.ptr(), names.tree, ref.capsule.ptr()) != 0) throw py::error_already_set();
    return ref;
}

enum class IndexKind { in_words, outside_words, other };

// Python ints (bools included) and numpy integers take the native path;
// anything else is left to the step-by-step algorithm.
IndexKind classify_index(const py::object& index, std::uint64_t* value) {
    py::object as_int;
    if (PyLong_Check(index.ptr())) {
        as_int = index;
    } else if (py::isinstance(index, H().np.attr("integer"))) {
        as_int = py::reinterpret_steal<py::object>(PyNumber_Index(index.ptr()));
        if (!as_int) throw py::error_already_set();
    } else {
        return IndexKind::other;
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (small == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (overflow == 0 && small < 0)) return IndexKind::outside_words;
    if (overflow == 0) {
        *value = static_cast<std::uint64_t>(small);
        return IndexKind::in_words;
    }
    const unsigned long long big = PyLong_AsUnsignedLongLong(as_int.ptr());
    if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return IndexKind::outside_words;
    }
    *value = big;
    return IndexKind::in_words;
}

py::object CSD_get_size(py::object self) {
    py::object dims = self.attr("matching_colids_by_arg");
    if (py::len(dims) == 0 || py::len(dims[py::int_(0)]) == 0) return py::int_(0);
    SpaceRef ref = current_space(self);
    if (!ref.native) return CSD__get_size(self);
    return py::int_(ref.native->space.size());
}

py::object CSD_get_candidate(py::object self, py::object index) {
    std::uint64_t i = 0;
    const IndexKind kind = classify_index(index, &i);
    if (kind == IndexKind::other) return plain_get_candidate(self, index);
    SpaceRef ref = current_space(self);
    if (!ref.native) return plain_get_candidate(self, index);
    const auto& space = ref.native->space;
    const std::size_t n = space.ndim();
    // Every lookup that finds no candidate (no dimension, an index outside the
    // space, a repeated id leaving a dimension nothing to draw from) fails exactly
    // as the building blocks do, so they give the error.
    std::uint32_t positions[karrow::core::max_dimensions];
    std::uint64_t remainder = 0;
    if (n == 0 || kind == IndexKind::outside_words ||
        space.decode(i, positions, &remainder) != karrow::core::DecodeStatus::ok) {
        return plain_get_candidate(self, index);
    }
    const auto& choices = ref.native->choices;
    if (n == 1) return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(choices[0].ptr(), positions[0]));
    py::tuple candidate(n);
    for (std::size_t j = 0; j < n; ++j) {
        py::object id = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(choices[j].ptr(), positions[j]));
        PyTuple_SET_ITEM(candidate.ptr(), static_cast<Py_ssize_t>(j), id.release().ptr());
    }
    return std::move(candidate);
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
                &CSD__build_tree_desc, "Add the nodes of dimension arg_index below current_node_id, and beneath.")
        .method("compute_cumul_left_tree_size", "self, tree", &CSD_compute_cumul_left_tree_size,
                "The cumulative table: node id -> (left_cumul, subtree_size), () for the whole space.")
        .method("_compute_cumul_left_tree_size",
                "self, tree_desc, current_node_id, current_cumul_tree, current_cumul",
                &CSD__compute_cumul_left_tree_size, "Fill the cumulative table below current_node_id, depth first.")
        .method("_get_node_id", "self, cumul_tree, current_node_id, index", &CSD__get_node_id,
                "The leaf whose block holds index, or None.")
        .method("get_candidate", "self, index", &CSD_get_candidate,
                "The candidate at position index: a column id for one dimension, else a tuple.")
        .method("_get_candidate", "self, cumul_tree, desc_tree, index", &CSD__get_candidate,
                "Decode index inside its leaf block, last dimension fastest.")
        .finish();
}

}  // namespace karrow::module
