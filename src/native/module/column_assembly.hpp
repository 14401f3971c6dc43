// Assembles a transform's output: the input table (optionally) followed by the
// new columns, as `numpy.concatenate((X, numpy.concatenate(blocks, 1)), 1)`
// gives it, without the intermediate join of the new columns when every block
// is a plain numeric array of one dtype.
//
// The caller's array is never modified. The functions read one private copy of
// it (`source()`, `X.copy(order="K")`), made on the first call and never moved
// or replaced afterwards: every call sees it as earlier calls left it, and a
// function keeping a view of it from an earlier call keeps writing into the
// copy the result is built from.
//
// The blocks are joined when the call ends, in the state they are in then, as
// the list-then-concatenate algorithm joins them. Only a block that nothing but
// the assembler can reach (a fresh array, not a view of anything another
// object holds) is written into the result as soon as it arrives, which keeps
// peak memory near the result's size for the usual functions.
//
// The result has the same shape, dtype (numpy's promotion: the blocks among
// themselves, then with the input) and values. Blocks that are not plain 2-d
// numeric arrays of one native dtype (object dtypes, other shapes, array
// subclasses, mixed or byte-swapped dtypes, non-arrays) are joined by numpy's
// own calls, so any error and any promotion is numpy's.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace karrow::module {

namespace py = pybind11;

class ColumnAssembler {
public:
    ColumnAssembler(py::object X, bool include_input, py::ssize_t expected_new_cols);

    // The private copy of X the functions read (made on the first call, in X's
    // memory order; X itself when X is not an array).
    py::object source();
    // The same, for a transform whose every call is `fun(columns...)`: when fun
    // is a numpy ufunc whose values do not depend on how its arguments are laid
    // out (exactly rounded arithmetic on real numbers), nothing can see the
    // copy's memory order, so it is made column-major inside the result.
    py::object source(const py::object& fun);

    // The input as the joined table holds it: the private copy when one was
    // made, else X itself.
    py::object input() const { return priv_.is_none() ? X_ : priv_; }

    // Appends one block of new columns (normally a (rows, k) array). Pass the
    // only reference: a block someone else still holds is kept as it is and
    // read when the call ends.
    void add(py::object block);

    // Number of blocks added so far.
    std::size_t blocks() const { return entries_.size(); }

    // For callers that join the new columns before their bookkeeping and add the
    // input afterwards: joins the new columns now, so numpy raises (on unusual
    // input) at that point and the join sees the blocks as they are now;
    // finish() then reuses it.
    void join_new();

    // The joined table. Call after all bookkeeping: on unusual input this is
    // where numpy raises, as numpy.concatenate of the input and the blocks does.
    py::object finish();

private:
    // One block: its columns' place in the result, and the block itself until
    // it is written there (None once written).
    struct Entry {
        py::ssize_t start, width;
        py::object block;
    };

    py::object make_source(bool column_major);
    bool block_is_plain(const py::object& block) const;
    bool plain_so_far(const py::object& block);
    void allocate(const py::object& dtype, py::ssize_t capacity);
    bool fits() const { return !result_.is_none() && in_cols_ + used_ <= capacity_; }
    py::object slice_cols(const py::object& arr, py::ssize_t start, py::ssize_t stop) const;
    py::object entry_array(const Entry& e) const;
    py::object numpy_join();

    py::object X_;
    bool include_input_;
    bool fast_ = false;        // X is a plain 2-d numeric array (or any array, new columns only)
    bool mixed_ = false;       // a block rules out the direct writes: numpy joins at the end
    py::ssize_t rows_ = 0;
    py::ssize_t in_cols_ = 0;  // columns of X placed in front (0 when not included)
    py::ssize_t expected_ = 0;
    py::ssize_t used_ = 0;     // new columns so far
    py::ssize_t capacity_ = 0; // columns of result_
    py::object result_;        // column-major buffer of dtype_, or None
    py::object dtype_;         // the one dtype of the blocks, or None before the first
    py::object priv_;          // the private copy of X, or None before the first call
    bool priv_in_result_ = false;  // priv_ is the input part of result_
    bool joined_ = false;      // join_new() wrote every block
    std::vector<Entry> entries_;
    py::object joined_new_;    // the new columns joined by numpy in join_new(), or None
};

}  // namespace karrow::module
