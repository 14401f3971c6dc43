// The native tree behind get_size and get_candidate.
#include "module/candidate_space_native.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "binding/helpers.hpp"
#include "core/candidate_space.hpp"
#include "module/candidate_space_steps.hpp"

namespace karrow::module::space_native {

using namespace karrow::binding;
using space_steps::sorted;

namespace {

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

    auto native = std::make_unique<NativeSpace>(std::move(input));
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
// anything else is answered by the building blocks.
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

}  // namespace

py::object size(const py::object& self) {
    SpaceRef ref = current_space(self);
    if (!ref.native) return py::object();
    return py::int_(ref.native->space.size());
}

py::object candidate(const py::object& self, const py::object& index) {
    std::uint64_t i = 0;
    const IndexKind kind = classify_index(index, &i);
    if (kind == IndexKind::other) return py::object();
    SpaceRef ref = current_space(self);
    if (!ref.native) return py::object();
    const auto& space = ref.native->space;
    const std::size_t n = space.ndim();
    // Every lookup that finds no candidate (no dimension, an index outside the
    // space, a repeated id leaving a dimension nothing to draw from) is left to
    // the building blocks, which give the error.
    std::uint32_t positions[karrow::core::max_dimensions];
    std::uint64_t remainder = 0;
    if (n == 0 || kind == IndexKind::outside_words ||
        space.decode(i, positions, &remainder) != karrow::core::DecodeStatus::ok) {
        return py::object();
    }
    const auto& choices = ref.native->choices;
    if (n == 1) return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(choices[0].ptr(), positions[0]));
    py::tuple out(n);
    for (std::size_t j = 0; j < n; ++j) {
        py::object id = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(choices[j].ptr(), positions[j]));
        PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(j), id.release().ptr());
    }
    return std::move(out);
}

}  // namespace karrow::module::space_native
