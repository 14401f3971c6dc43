#include "module/column_assembly.hpp"

#include <algorithm>

#include "binding/helpers.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

PyTypeObject* ndarray_type() {
    return reinterpret_cast<PyTypeObject*>(py::detail::npy_api::get().PyArray_Type_);
}

bool plain_numeric_2d(const py::object& a) {
    if (Py_TYPE(a.ptr()) != ndarray_type()) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    if (arr.ndim() != 2) return false;
    const char kind = arr.dtype().kind();
    return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c';
}

bool owns_its_data(PyObject* a) {
    const auto* fields = py::detail::array_proxy(a);
    return fields->base == nullptr && (fields->flags & py::detail::npy_api::NPY_ARRAY_OWNDATA_) != 0;
}

// Whether the assembler's reference is the only way to reach the block's
// values: the block owns its memory, or is a view of an array that owns it and
// that nothing else holds. Such a block cannot change after it is handed over.
bool sole_owner(const py::object& block) {
    PyObject* b = block.ptr();
    if (Py_REFCNT(b) != 1) return false;
    if (owns_its_data(b)) return true;
    PyObject* base = py::detail::array_proxy(b)->base;
    return base != nullptr && Py_TYPE(base) == ndarray_type() && Py_REFCNT(base) == 1 && owns_its_data(base);
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

py::object ColumnAssembler::source() {
    if (!priv_.is_none()) return priv_;
    return make_source(is_ndarray(X_) && (py::reinterpret_borrow<py::array>(X_).flags() &
                                          py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) != 0);
}

py::object ColumnAssembler::source(const py::object& fun) {
    if (!priv_.is_none()) return priv_;
    bool blind = false;
    if (plain_numeric_2d(X_)) {
        const char kind = py::reinterpret_borrow<py::array>(X_).dtype().kind();
        if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') {
            static const char* const exact[] = {"add", "subtract", "multiply", "true_divide", "sqrt", "square",
                                                "absolute", "negative", "fmin", "fmax", "minimum", "maximum", "rint"};
            for (const char* name : exact) {
                if (fun.ptr() == H().np.attr(name).ptr()) {
                    blind = true;
                    break;
                }
            }
        }
    }
    return blind ? make_source(true) : source();
}

py::object ColumnAssembler::make_source(bool column_major) {
    if (!is_ndarray(X_)) {
        priv_ = X_;
        return priv_;
    }
    // A column-major copy is made straight in the input part of a column-major
    // result, whose columns then have the very strides of X.copy(order="K") for
    // a column-major X. The copy stays there for the whole call, whatever the
    // blocks turn out to be.
    if (column_major && fast_ && include_input_ && result_.is_none() && entries_.empty()) {
        allocate(X_.attr("dtype"), expected_);
        result_[py::make_tuple(all(), py::slice(0, in_cols_, 1))] = X_;
        priv_ = slice_cols(result_, 0, in_cols_);
        priv_in_result_ = true;
        return priv_;
    }
    priv_ = X_.attr("copy")(column_major ? "F" : "K");
    return priv_;
}

void ColumnAssembler::allocate(const py::object& dtype, py::ssize_t capacity) {
    result_ = H().np.attr("empty")(py::make_tuple(rows_, in_cols_ + capacity), py::arg("dtype") = dtype,
                                   py::arg("order") = "F");
    capacity_ = in_cols_ + capacity;
}

bool ColumnAssembler::block_is_plain(const py::object& block) const {
    if (!fast_ || !plain_numeric_2d(block)) return false;
    return py::reinterpret_borrow<py::array>(block).shape(0) == rows_;
}

// Whether the blocks so far are joined by writing them into one buffer of their
// common dtype: every block plain, all of one native dtype (numpy's joins hand
// back the native form of a byte-swapped one) that the input's dtype does not
// promote.
bool ColumnAssembler::plain_so_far(const py::object& block) {
    if (!block_is_plain(block)) return false;
    py::object bdtype = block.attr("dtype");
    if (!dtype_.is_none()) return bdtype.equal(dtype_);
    if (!truthy(bdtype.attr("isnative"))) return false;
    if (include_input_ && !H().np.attr("result_type")(X_.attr("dtype"), bdtype).equal(bdtype)) return false;
    dtype_ = bdtype;
    return true;
}

void ColumnAssembler::add(py::object block) {
    if (!mixed_ && !plain_so_far(block)) mixed_ = true;
    if (mixed_) {
        entries_.push_back(Entry{0, 0, std::move(block)});
        return;
    }
    const py::ssize_t width = py::reinterpret_borrow<py::array>(block).shape(1);
    Entry entry{in_cols_ + used_, width, py::none()};
    used_ += width;
    if (sole_owner(block)) {
        // The result takes the block's dtype; a buffer holding the private copy in
        // another dtype stays where it is (the copy never moves) and the input is
        // written into the result at the end.
        if (!result_.is_none() && !py::object(result_.attr("dtype")).equal(dtype_)) {
            result_ = py::none();
            priv_in_result_ = false;
        }
        if (result_.is_none()) {
            allocate(dtype_, std::max(expected_, used_));
        } else if (!fits() && !priv_in_result_) {
            py::object old = result_;
            allocate(dtype_, std::max(2 * (capacity_ - in_cols_), used_));
            const py::ssize_t written = entry.start;
            result_[py::make_tuple(all(), py::slice(in_cols_, written, 1))] = slice_cols(old, in_cols_, written);
        }
        if (fits()) {
            result_[py::make_tuple(all(), py::slice(entry.start, entry.start + width, 1))] = block;
            entries_.push_back(std::move(entry));
            return;
        }
    }
    entry.block = std::move(block);
    entries_.push_back(std::move(entry));
}

py::object ColumnAssembler::entry_array(const Entry& e) const {
    return e.block.is_none() ? slice_cols(result_, e.start, e.start + e.width) : e.block;
}

py::object ColumnAssembler::numpy_join() {
    py::tuple parts(entries_.size());
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        PyTuple_SET_ITEM(parts.ptr(), static_cast<Py_ssize_t>(k), entry_array(entries_[k]).release().ptr());
    }
    return H().np.attr("concatenate")(parts, 1);
}

void ColumnAssembler::join_new() {
    if (joined_ || !joined_new_.is_none()) return;
    if (mixed_ || entries_.empty()) {
        joined_new_ = numpy_join();
        return;
    }
    // Every block is plain: write the held ones now, as they are now.
    const bool usable = !result_.is_none() && fits() && py::object(result_.attr("dtype")).equal(dtype_);
    if (!usable) {
        py::object old = result_;
        const bool had_dtype = !old.is_none() && py::object(old.attr("dtype")).equal(dtype_);
        allocate(dtype_, used_);
        priv_in_result_ = false;
        if (had_dtype) {
            for (const Entry& e : entries_) {
                if (!e.block.is_none()) continue;
                result_[py::make_tuple(all(), py::slice(e.start, e.start + e.width, 1))] =
                    slice_cols(old, e.start, e.start + e.width);
            }
        }
    }
    for (Entry& e : entries_) {
        if (e.block.is_none()) continue;
        result_[py::make_tuple(all(), py::slice(e.start, e.start + e.width, 1))] = e.block;
        e.block = py::none();
    }
    joined_ = true;
}

py::object ColumnAssembler::finish() {
    const auto& np = H().np;
    if (mixed_ || entries_.empty() || !joined_new_.is_none()) {
        py::object Xtr = joined_new_.is_none() ? numpy_join() : joined_new_;
        joined_new_ = py::none();
        entries_.clear();
        result_ = py::none();
        if (!include_input_) return Xtr;
        return np.attr("concatenate")(py::make_tuple(input(), Xtr), 1);
    }
    join_new();
    if (include_input_ && !priv_in_result_) result_[py::make_tuple(all(), py::slice(0, in_cols_, 1))] = input();
    py::object out = result_;
    if (in_cols_ + used_ < capacity_) out = slice_cols(out, 0, in_cols_ + used_);
    result_ = py::none();
    entries_.clear();
    return out;
}

}  // namespace karrow::module
