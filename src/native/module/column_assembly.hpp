// Assembles a transform's output: the input table (optionally) followed by the
// new columns, as `numpy.concatenate((X, numpy.concatenate(blocks, 1)), 1)`
// gives it, but writing the blocks straight into one preallocated column-major
// result instead of holding a list of columns and two concatenated copies.
//
// The caller's array is never modified. The functions read a private copy of
// it (`source()`), shared by every call in the state earlier calls left it, so
// a function that returns a view of its argument or writes into it gives the
// values the concatenation of that copy and the blocks has at the end.
//
// The result has the same shape, dtype (numpy's promotion: the blocks among
// themselves, then with the input) and values. Blocks that are not plain 2-d
// numeric arrays of one dtype (object dtypes, other shapes, array subclasses,
// mixed dtypes, non-arrays) switch to the exact numpy calls, so any error and
// any promotion is numpy's own.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace karrow::module {

namespace py = pybind11;

class ColumnAssembler {
public:
    ColumnAssembler(py::object X, bool include_input, py::ssize_t expected_new_cols);

    // The private copy of X the functions read (made on the first call). Column
    // reads are contiguous when it lives inside the result.
    py::object source();

    // The input as the joined table holds it: the private copy when one was
    // made, else X itself.
    py::object input() const { return priv_.is_none() ? X_ : priv_; }

    // Appends one block of new columns (normally a (rows, k) array).
    void add(py::object block);

    // Number of blocks added so far.
    std::size_t blocks() const { return slots_.size() + fallback_blocks_.size(); }

    // For callers that join the new columns before their bookkeeping and add the
    // input afterwards: on unusual input, does that first concatenation now, so
    // numpy raises at the same point; finish() then reuses it. On the
    // preallocated path nothing can fail and nothing is done.
    void join_new();

    // The joined table. Call after all bookkeeping: on unusual input this is
    // where numpy raises, as numpy.concatenate of the input and the blocks does.
    py::object finish();

private:
    // A block written into the result; `view` is kept when the block shares
    // memory with the private copy, whose later changes it must show.
    struct Slot {
        py::ssize_t start, width;
        py::object view;
    };

    bool block_is_plain(const py::object& block) const;
    void allocate(const py::object& dtype, py::ssize_t capacity);
    void grow(py::ssize_t capacity);
    void detach_private_copy();
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
    py::object dtype_;         // dtype of result_ and of every block written into it
    py::object priv_;          // the private copy of X, or None before the first call
    bool priv_in_result_ = false;  // priv_ is the input part of result_
    std::vector<Slot> slots_;
    py::list fallback_blocks_;
    py::object joined_new_;    // the new columns joined by join_new(), or None
};

}  // namespace karrow::module
