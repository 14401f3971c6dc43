// Answers of CandidatesSpaceDescriptor.get_size and get_candidate from the
// native tree of core/candidate_space, built over integer ranks of the ids.
//
// The tree is cached in the instance `__dict__` under `_space_cache` (a
// `_native_cache.NativeCache`), rebuilt whenever the dimension lists change,
// and used only where ranking ids gives the answers of the building blocks:
// every id of one type among int, str or one numpy integer type, an integer
// index, and an index that finds a candidate. Elsewhere these functions return
// a null object and the caller asks the building blocks.
#pragma once

#include <pybind11/pybind11.h>

namespace karrow::module::space_native {

namespace py = pybind11;

// The number of candidates, or null.
py::object size(const py::object& self);

// The candidate at `index`, or null.
py::object candidate(const py::object& self, const py::object& index);

}  // namespace karrow::module::space_native
