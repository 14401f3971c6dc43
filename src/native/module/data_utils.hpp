// Datatype families and the shared column utilities, callable from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace karrow::module {

namespace py = pybind11;

py::list numeric_data_types();
py::list int_data_types();
py::list float_data_types();
py::list get_basic_types(py::handle cat);
py::list resolve_basic_datatypes(py::handle datatypes);

// In place; returns the same object. Float arrays are scanned natively in one
// pass; sparse matrices are cleaned through their stored values; anything else
// goes through numpy's isnan / isinf / isneginf exactly.
py::object replace_nan_and_inf(py::object col);

py::dict get_json_for_name(py::handle name);

// {"expression": {"op": op, "params": params}}
py::dict expression_json(py::handle op, py::list params);

// Makes proposed names unique against a growing set of names in use: while a
// name is taken it grows "-<digit>", the digit drawn from Python's shared
// `random` generator, one draw per collision (membership is a hashed lookup).
class UniqueNamer {
public:
    UniqueNamer();
    // Adds names that are already taken (in any order: only membership matters).
    void add_existing(py::handle names);
    // Returns a free name and records it as taken.
    py::str take(py::str proposed);

private:
    bool contains(py::handle name) const;
    void insert(py::handle name);
    py::set used_;
    py::list unhashable_;
};

}  // namespace karrow::module
