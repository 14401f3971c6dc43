// Assembles a transform's output: the input table (optionally) followed by the
// new columns, as `numpy.concatenate((X, numpy.concatenate(blocks, 1)), 1)`
// would, but writing every block straight into one preallocated column-major
// result instead of holding a list of columns and two concatenated copies.
//
// The result has the same shape, dtype (numpy's promotion of all inputs) and
// values. Inputs that are not plain 2-d numeric arrays (object dtypes, other
// shapes, array subclasses, non-arrays) switch to the exact numpy calls, so any
// error is numpy's own.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace karrow::module {

namespace py = pybind11;

class ColumnAssembler {
public:
    ColumnAssembler(py::object X, bool include_input, py::ssize_t expected_new_cols);

    // The array to read argument columns from: same values and dtype as X.
    // After the first block it is, when possible, the column-major copy of X
    // inside the result, so column reads are contiguous.
    py::object source() const { return source_; }

    // Appends one block of new columns (normally a (rows, k) array).
    void add(py::object block);

    // Number of blocks added so far.
    std::size_t blocks() const { return widths_.size() + fallback_blocks_.size(); }

    // For callers that join the new columns before their bookkeeping and add the
    // input afterwards: on unusual input, does that first concatenation now, so
    // numpy raises at the same point; finish() then reuses it. On the
    // preallocated path nothing can fail and nothing is done.
    void join_new();

    // The joined table. Call after all bookkeeping: on unusual input this is
    // where numpy raises, exactly as the plain concatenation would.
    py::object finish();

private:
    bool block_is_plain(const py::object& block) const;
    void allocate(const py::object& dtype, py::ssize_t capacity);
    void reallocate(const py::object& dtype, py::ssize_t capacity);
    void to_fallback();
    py::object slice_cols(const py::object& arr, py::ssize_t start, py::ssize_t stop) const;

    py::object X_;
    bool include_input_;
    bool fast_ = false;        // X is a plain 2-d numeric array
    bool fallback_ = false;    // exact numpy concatenation from here on
    py::ssize_t rows_ = 0;
    py::ssize_t in_cols_ = 0;  // columns of X placed in front (0 when not included)
    py::ssize_t expected_ = 0;
    py::ssize_t used_ = 0;     // new columns written
    py::ssize_t capacity_ = 0;
    py::object result_;        // column-major array, or None
    py::object dtype_;         // dtype of result_
    py::object source_;
    std::vector<py::object> dtypes_;  // dtype of each block as given
    std::vector<py::ssize_t> widths_;
    py::list fallback_blocks_;
    py::object joined_new_;    // the new columns joined by join_new(), or None
};

}  // namespace karrow::module
