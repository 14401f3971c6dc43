#include "module/column_assembly.hpp"

#include <algorithm>

#include "binding/helpers.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

bool plain_numeric_2d(const py::object& a) {
    if (Py_TYPE(a.ptr()) != reinterpret_cast<PyTypeObject*>(py::detail::npy_api::get().PyArray_Type_)) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    if (arr.ndim() != 2) return false;
    const char kind = arr.dtype().kind();
    return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c';
}

py::slice all() { return py::slice(py::none(), py::none(), py::none()); }

}  // namespace

ColumnAssembler::ColumnAssembler(py::object X, bool include_input, py::ssize_t expected_new_cols)
    : X_(std::move(X)), include_input_(include_input), expected_(std::max<py::ssize_t>(expected_new_cols, 1)) {
    source_ = X_;
    result_ = py::none();
    dtype_ = py::none();
    joined_new_ = py::none();
    if (include_input_) {
        fast_ = plain_numeric_2d(X_);
    } else {
        fast_ = is_ndarray(X_) && py::reinterpret_borrow<py::array>(X_).ndim() >= 1;
    }
    if (fast_) {
        auto arr = py::reinterpret_borrow<py::array>(X_);
        rows_ = arr.shape(0);
        in_cols_ = include_input_ ? arr.shape(1) : 0;
    }
}

py::object ColumnAssembler::slice_cols(const py::object& arr, py::ssize_t start, py::ssize_t stop) const {
    return arr[py::make_tuple(all(), py::slice(start, stop, 1))];
}

bool ColumnAssembler::block_is_plain(const py::object& block) const {
    if (!plain_numeric_2d(block)) return false;
    return py::reinterpret_borrow<py::array>(block).shape(0) == rows_;
}

void ColumnAssembler::allocate(const py::object& dtype, py::ssize_t capacity) {
    const auto& np = H().np;
    result_ = np.attr("empty")(py::make_tuple(rows_, in_cols_ + capacity), py::arg("dtype") = dtype,
                               py::arg("order") = "F");
    dtype_ = dtype;
    capacity_ = capacity;
    if (include_input_) {
        result_[py::make_tuple(all(), py::slice(0, in_cols_, 1))] = X_;
        // Argument columns are read from the contiguous copy when it holds X's exact values.
        if (dtype.equal(X_.attr("dtype"))) source_ = slice_cols(result_, 0, in_cols_);
    }
}

void ColumnAssembler::reallocate(const py::object& dtype, py::ssize_t capacity) {
    py::object old = result_;
    const bool same_dtype = dtype.equal(dtype_);
    source_ = X_;  // drop any view of the old buffer before it is released
    const auto& np = H().np;
    result_ = np.attr("empty")(py::make_tuple(rows_, in_cols_ + capacity), py::arg("dtype") = dtype,
                               py::arg("order") = "F");
    result_[py::make_tuple(all(), py::slice(0, in_cols_ + used_, 1))] = slice_cols(old, 0, in_cols_ + used_);
    old = py::none();
    dtype_ = dtype;
    capacity_ = capacity;
    if (include_input_ && same_dtype && dtype.equal(X_.attr("dtype"))) source_ = slice_cols(result_, 0, in_cols_);
}

void ColumnAssembler::to_fallback() {
    // Rebuild the blocks written so far in their own dtypes, then continue with
    // the plain list-and-concatenate algorithm.
    py::ssize_t offset = in_cols_;
    for (std::size_t i = 0; i < widths_.size(); ++i) {
        py::object part = slice_cols(result_, offset, offset + widths_[i]);
        fallback_blocks_.append(part.attr("astype")(dtypes_[i]));
        offset += widths_[i];
    }
    widths_.clear();
    dtypes_.clear();
    result_ = py::none();
    source_ = X_;
    fallback_ = true;
}

void ColumnAssembler::add(py::object block) {
    if (!fallback_ && !(fast_ && block_is_plain(block))) {
        if (!result_.is_none()) {
            to_fallback();
        } else {
            fallback_ = true;
        }
    }
    if (fallback_) {
        fallback_blocks_.append(block);
        return;
    }
    const auto& np = H().np;
    auto arr = py::reinterpret_borrow<py::array>(block);
    const py::ssize_t width = arr.shape(1);
    py::object bdtype = block.attr("dtype");
    if (result_.is_none()) {
        py::object dtype = include_input_ ? np.attr("result_type")(X_.attr("dtype"), bdtype) : bdtype;
        allocate(dtype, std::max(expected_, width));
    } else {
        py::object promoted = np.attr("result_type")(dtype_, bdtype);
        if (used_ + width > capacity_ || !promoted.equal(dtype_)) {
            py::ssize_t capacity = capacity_;
            while (used_ + width > capacity) capacity *= 2;
            reallocate(promoted, capacity);
        }
    }
    const py::ssize_t start = in_cols_ + used_;
    result_[py::make_tuple(all(), py::slice(start, start + width, 1))] = block;
    used_ += width;
    widths_.push_back(width);
    dtypes_.push_back(bdtype);
}

void ColumnAssembler::join_new() {
    if (!(fallback_ || result_.is_none()) || !joined_new_.is_none()) return;
    joined_new_ = H().np.attr("concatenate")(py::tuple(fallback_blocks_), 1);
}

py::object ColumnAssembler::finish() {
    const auto& np = H().np;
    if (fallback_ || result_.is_none()) {
        py::object Xtr = joined_new_.is_none() ? np.attr("concatenate")(py::tuple(fallback_blocks_), 1) : joined_new_;
        joined_new_ = py::none();
        if (!include_input_) return Xtr;
        return np.attr("concatenate")(py::make_tuple(X_, Xtr), 1);
    }
    // numpy's promotion over all inputs at once, as the plain concatenation does it
    // (distinct dtypes only: result_type takes a limited number of arguments)
    py::list distinct;
    for (const auto& d : dtypes_) {
        bool seen = false;
        for (auto e : distinct) seen = seen || d.equal(e);
        if (!seen) distinct.append(d);
    }
    py::object dtype = np.attr("result_type")(*distinct);
    if (include_input_) dtype = np.attr("result_type")(X_.attr("dtype"), dtype);
    py::object out = result_;
    if (used_ < capacity_) out = slice_cols(out, 0, in_cols_ + used_);
    if (!dtype.equal(dtype_)) out = out.attr("astype")(dtype, py::arg("order") = "F");
    result_ = py::none();
    source_ = X_;
    return out;
}

}  // namespace karrow::module
