// resolve_basic_datatypes and the DataUtils class.
#include "module/data_utils.hpp"

#include <pybind11/numpy.h>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "core/nonfinite.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::list make_list(std::initializer_list<const char*> names) {
    py::list out;
    for (const char* n : names) out.append(py::str(n));
    return out;
}

bool str_equals(py::handle obj, const char* text) {
    if (!PyUnicode_Check(obj.ptr())) {
        // Plain `==` as Python does it, for str subclasses and odd objects alike.
        const int r = PyObject_RichCompareBool(obj.ptr(), py::str(text).ptr(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    }
    return PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

// The three numpy steps (NaN, then inf, then -inf, each written only when found);
// used for every input the native pass does not cover.
// The mask is reduced over all its axes, so a data frame's mask (whose own `any`
// answers per column) gives one answer, as an array's does.
py::object replace_with_numpy(py::object col) {
    const auto& np = H().np;
    for (const char* test : {"isnan", "isinf", "isneginf"}) {
        py::object mask = np.attr(test)(col);
        if (truthy(np.attr("any")(mask, py::arg("axis") = py::none()))) {
            col[np.attr(test)(col)] = py::int_(0);
        }
    }
    return col;
}

bool is_native_float(const py::array& a) {
    const py::dtype dt = a.dtype();
    if (dt.kind() != 'f') return false;
    if (!core::nonfinite_supported(static_cast<std::size_t>(dt.itemsize()))) return false;
    const char order = dt.byteorder();
    return order == '=' || order == '|' || (order == '<' && PY_LITTLE_ENDIAN) || (order == '>' && !PY_LITTLE_ENDIAN);
}

}  // namespace

py::list numeric_data_types() {
    return make_list({"intc", "intp", "int_", "uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64",
                      "short", "long", "longlong", "float16", "float32", "float64"});
}

py::list int_data_types() {
    return make_list({"intc", "intp", "int_", "uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64",
                      "short", "long", "longlong"});
}

py::list float_data_types() { return make_list({"float16", "float32", "float64"}); }

py::list get_basic_types(py::handle cat) {
    if (str_equals(cat, "numeric")) return numeric_data_types();
    if (str_equals(cat, "float")) return float_data_types();
    if (str_equals(cat, "int") || str_equals(cat, "integer")) return int_data_types();
    py::list out;
    out.append(cat);
    return out;
}

py::list resolve_basic_datatypes(py::handle datatypes) {
    py::list basic;
    py::iterator it = py::iter(datatypes);
    for (; it != py::iterator::sentinel(); ++it) {
        for (auto name : get_basic_types(*it)) basic.append(name);
    }
    return basic;
}

py::object replace_nan_and_inf(py::object col) {
    if (is_ndarray(col)) {
        auto a = py::reinterpret_borrow<py::array>(col);
        const char kind = a.dtype().kind();
        if (kind == 'b' || kind == 'i' || kind == 'u') return col;  // nothing can be NaN or infinite
        // Subclasses (masked arrays above all, whose masked positions numpy's steps
        // leave alone) go through numpy's own steps.
        const bool exact = Py_TYPE(col.ptr()) == reinterpret_cast<PyTypeObject*>(py::detail::npy_api::get().PyArray_Type_);
        if (exact && is_native_float(a) && a.ndim() <= 32) {
            const auto itemsize = static_cast<std::size_t>(a.itemsize());
            const int ndim = static_cast<int>(a.ndim());
            std::ptrdiff_t shape[32];
            std::ptrdiff_t strides[32];
            for (int k = 0; k < ndim; ++k) {
                shape[k] = a.shape(k);
                strides[k] = a.strides(k);
            }
            if (a.writeable()) {
                core::replace_nonfinite(static_cast<char*>(a.mutable_data()), itemsize, ndim, shape, strides);
                return col;
            }
            // Read-only: numpy decides (and raises its own error if a write is needed).
            if (core::count_nonfinite(static_cast<const char*>(a.data()), itemsize, ndim, shape, strides) == 0) {
                return col;
            }
        }
        return replace_with_numpy(col);
    }
    if (truthy(H().scipy_sparse.attr("issparse")(col))) {
        // numpy's isnan refuses sparse matrices; the implicit entries are zeros
        // already, so cleaning the stored values gives the same matrix once entries
        // stored twice at one position are summed (two finite halves may sum to inf).
        if (py::hasattr(col, "sum_duplicates")) col.attr("sum_duplicates")();
        replace_nan_and_inf(col.attr("data"));
        return col;
    }
    return replace_with_numpy(col);
}

py::dict get_json_for_name(py::handle name) {
    py::dict d;
    d["name"] = py::str("$" + str(name));
    return d;
}

py::dict expression_json(py::handle op, py::list params) {
    py::dict expr;
    expr["op"] = op;
    expr["params"] = std::move(params);
    py::dict d;
    d["expression"] = std::move(expr);
    return d;
}

UniqueNamer::UniqueNamer() = default;

void UniqueNamer::add_existing(py::handle names) {
    for (auto n : names) insert(n);
}

void UniqueNamer::insert(py::handle name) {
    if (PySet_Add(used_.ptr(), name.ptr()) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    unhashable_.append(name);
}

bool UniqueNamer::contains(py::handle name) const {
    const int r = PySet_Contains(used_.ptr(), name.ptr());
    if (r < 0) throw py::error_already_set();
    if (r == 1) return true;
    if (unhashable_.empty()) return false;
    const int s = PySequence_Contains(unhashable_.ptr(), name.ptr());
    if (s < 0) throw py::error_already_set();
    return s == 1;
}

py::str UniqueNamer::take(py::str proposed) {
    while (contains(proposed)) {
        proposed = py::str(str(proposed) + "-" + str(H().random.attr("randint")(0, 9)));
    }
    insert(proposed);
    return proposed;
}

namespace {

py::object DataUtils_NumericDataTypes() { return numeric_data_types(); }
py::object DataUtils_IntDataTypes() { return int_data_types(); }
py::object DataUtils_FloatDataTypes() { return float_data_types(); }
py::object DataUtils_get_basic_types(py::object cat) { return get_basic_types(cat); }
py::object DataUtils_replace_nan_and_inf(py::object col) { return replace_nan_and_inf(col); }

py::object DataUtils_all_feats_numeric(py::object df) {
    const py::ssize_t ncols = py::cast<py::ssize_t>(df.attr("shape")[py::int_(1)]);
    for (py::ssize_t colid = 0; colid < ncols; ++colid) {
        try {
            py::object dtype = df[py::make_tuple(py::slice(py::none(), py::none(), py::none()), colid)].attr("dtype");
            if (!contains(numeric_data_types(), dtype)) return py::bool_(false);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            print(df[py::make_tuple(py::slice(py::none(), py::none(), py::none()), colid)]);
            throw;
        }
    }
    return py::bool_(true);
}

py::object DataUtils_get_unique_column_name(py::object proposed_name, py::object existing_name_list) {
    while (true) {
        if (!contains(existing_name_list, proposed_name)) return proposed_name;
        proposed_name = proposed_name + py::str("-") + py::str(H().random.attr("randint")(0, 9));
    }
}

py::object DataUtils_get_json_for_name(py::object name) { return get_json_for_name(name); }

py::object DataUtils_build_json_objects(py::object names, py::object name_to_json_map) {
    py::list out;
    for (auto name : names) {
        out.append(name_to_json_map.attr("get")(name, get_json_for_name(name)));
    }
    return std::move(out);
}

py::object resolve_basic_datatypes_fn(py::object datatypes) { return resolve_basic_datatypes(datatypes); }

}  // namespace

void register_resolve_basic_datatypes(py::module_& m) {
    FunctionInfo fi;
    fi.name = "resolve_basic_datatypes";
    fi.qualname = "resolve_basic_datatypes";
    fi.module = py::str(m.attr("__name__"));
    fi.params = "datatypes";
    fi.doc = "Expand datatype family names ('numeric', 'float', 'int', 'integer') into numpy dtype names.";
    m.attr("resolve_basic_datatypes") = make_function(fi, &resolve_basic_datatypes_fn);
}

void register_DataUtils(py::module_& m) {
    ClassBuilder(m, "DataUtils", py::tuple(), "Static helpers shared by the transforms: dtype families, NaN/inf cleaning, unique names, JSON name objects.")
        .static_method("NumericDataTypes", "", &DataUtils_NumericDataTypes, "The 17 numeric dtype names (new list).")
        .static_method("IntDataTypes", "", &DataUtils_IntDataTypes, "The 14 integer dtype names (new list).")
        .static_method("FloatDataTypes", "", &DataUtils_FloatDataTypes, "The 3 float dtype names (new list).")
        .static_method("get_basic_types", "cat", &DataUtils_get_basic_types, "Expand one family name into dtype names.")
        .static_method("replace_nan_and_inf", "col", &DataUtils_replace_nan_and_inf,
                       "Replace NaN, +inf and -inf by 0 in place; returns the same object.")
        .static_method("all_feats_numeric", "df", &DataUtils_all_feats_numeric,
                       "True when every column of a 2-d array has a numeric dtype.")
        .static_method("get_unique_column_name", "proposed_name, existing_name_list", &DataUtils_get_unique_column_name,
                       "Append '-<digit>' suffixes until the name is not in the existing names.")
        .static_method("get_json_for_name", "name", &DataUtils_get_json_for_name,
                       "The JSON name object of an input column: {'name': '$' + str(name)}.")
        .static_method("build_json_objects", "names, name_to_json_map", &DataUtils_build_json_objects,
                       "One JSON name object per name, from the map or the default leaf object.")
        .finish();
}

}  // namespace karrow::module
