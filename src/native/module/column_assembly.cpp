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
    result_ = py::none();
    dtype_ = py::none();
    priv_ = py::none();
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

py::object ColumnAssembler::source() {
    if (!priv_.is_none()) return priv_;
    if (fast_ && include_input_ && !fallback_) {
        // Most often the result has X's dtype: its input part is then the private copy.
        if (result_.is_none()) allocate(X_.attr("dtype"), expected_);
        if (dtype_.equal(X_.attr("dtype"))) {
            priv_ = slice_cols(result_, 0, in_cols_);
            priv_in_result_ = true;
            return priv_;
        }
    }
    priv_ = is_ndarray(X_) ? X_.attr("copy")("F") : X_;
    return priv_;
}

void ColumnAssembler::allocate(const py::object& dtype, py::ssize_t capacity) {
    result_ = H().np.attr("empty")(py::make_tuple(rows_, in_cols_ + capacity), py::arg("dtype") = dtype,
                                   py::arg("order") = "F");
    dtype_ = dtype;
    capacity_ = capacity;
    // Before the first call X and its private copy hold the same values; afterwards
    // finish() writes the private copy in its final state.
    if (include_input_ && priv_.is_none()) result_[py::make_tuple(all(), py::slice(0, in_cols_, 1))] = X_;
}

void ColumnAssembler::detach_private_copy() {
    if (!priv_in_result_) return;
    priv_ = priv_.attr("copy")("F");
    priv_in_result_ = false;
}

void ColumnAssembler::grow(py::ssize_t capacity) {
    py::object old = result_;
    result_ = H().np.attr("empty")(py::make_tuple(rows_, in_cols_ + capacity), py::arg("dtype") = dtype_,
                                   py::arg("order") = "F");
    result_[py::make_tuple(all(), py::slice(0, in_cols_ + used_, 1))] = slice_cols(old, 0, in_cols_ + used_);
    capacity_ = capacity;
    if (!priv_in_result_) return;
    // Blocks that are views of the private copy must keep seeing it: it then stays
    // where it is, and finish() copies its final state.
    const bool viewed = std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.view.is_none(); });
    if (viewed) {
        priv_in_result_ = false;
    } else {
        priv_ = slice_cols(result_, 0, in_cols_);
    }
}

void ColumnAssembler::to_fallback() {
    // The blocks written so far, in their own dtype (every one has the result's),
    // then numpy's own concatenation of the list.
    for (const Slot& s : slots_) {
        fallback_blocks_.append(s.view.is_none() ? slice_cols(result_, s.start, s.start + s.width) : s.view);
    }
    slots_.clear();
    result_ = py::none();
    priv_in_result_ = false;  // a private copy inside the old result keeps it alive
    fallback_ = true;
}

void ColumnAssembler::add(py::object block) {
    if (!fallback_ && !(fast_ && block_is_plain(block))) to_fallback();
    if (!fallback_) {
        py::object bdtype = block.attr("dtype");
        if (slots_.empty()) {
            // The first block fixes the dtype of the blocks written into the result;
            // it must also be the joined table's, so that no value passes through
            // a dtype it does not end in.
            py::object dtype = include_input_ ? H().np.attr("result_type")(X_.attr("dtype"), bdtype) : bdtype;
            if (!dtype.equal(bdtype)) {
                to_fallback();
            } else if (result_.is_none() || !dtype.equal(dtype_)) {
                detach_private_copy();
                allocate(dtype, std::max(expected_, py::reinterpret_borrow<py::array>(block).shape(1)));
            }
        } else if (!bdtype.equal(dtype_)) {
            to_fallback();
        }
    }
    if (fallback_) {
        fallback_blocks_.append(block);
        return;
    }
    const py::ssize_t width = py::reinterpret_borrow<py::array>(block).shape(1);
    if (used_ + width > capacity_) {
        py::ssize_t capacity = capacity_;
        while (used_ + width > capacity) capacity *= 2;
        grow(capacity);
    }
    const py::ssize_t start = in_cols_ + used_;
    result_[py::make_tuple(all(), py::slice(start, start + width, 1))] = block;
    Slot slot{start, width, py::none()};
    if (!priv_.is_none() && truthy(H().np.attr("may_share_memory")(block, priv_))) slot.view = block;
    slots_.push_back(std::move(slot));
    used_ += width;
}

void ColumnAssembler::join_new() {
    if (!(fallback_ || slots_.empty()) || !joined_new_.is_none()) return;
    joined_new_ = H().np.attr("concatenate")(py::tuple(fallback_blocks_), 1);
}

py::object ColumnAssembler::finish() {
    const auto& np = H().np;
    if (fallback_ || slots_.empty()) {
        py::object Xtr = joined_new_.is_none() ? np.attr("concatenate")(py::tuple(fallback_blocks_), 1) : joined_new_;
        joined_new_ = py::none();
        result_ = py::none();
        if (!include_input_) return Xtr;
        return np.attr("concatenate")(py::make_tuple(input(), Xtr), 1);
    }
    if (include_input_ && !priv_in_result_ && !priv_.is_none()) {
        result_[py::make_tuple(all(), py::slice(0, in_cols_, 1))] = priv_;
    }
    for (const Slot& s : slots_) {
        if (!s.view.is_none()) result_[py::make_tuple(all(), py::slice(s.start, s.start + s.width, 1))] = s.view;
    }
    py::object out = result_;
    if (used_ < capacity_) out = slice_cols(out, 0, in_cols_ + used_);
    result_ = py::none();
    return out;
}

}  // namespace karrow::module
