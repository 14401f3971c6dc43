#include "binding/helpers.hpp"

namespace karrow::binding {

namespace {
Handles* handles = nullptr;
}

void init_handles(py::module_ module) {
    if (handles != nullptr) return;
    auto* h = new Handles();
    h->builtins = py::module_::import("builtins");
    h->np = py::module_::import("numpy");
    h->pd = py::module_::import("pandas");
    h->uuid = py::module_::import("uuid");
    h->random = py::module_::import("random");
    h->multiprocessing = py::module_::import("multiprocessing");
    h->copy = py::module_::import("copy");
    h->inspect = py::module_::import("inspect");
    h->operator_ = py::module_::import("operator");
    h->functools = py::module_::import("functools");
    h->sys = py::module_::import("sys");
    h->scipy_sparse = py::module_::import("scipy.sparse");
    h->module = module;
    h->optimize = py::int_(h->sys.attr("flags").attr("optimize")).cast<long>() > 0;
    handles = h;
}

const Handles& H() { return *handles; }

std::string type_name(py::handle h) {
    return py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(h.ptr()))).attr("__name__"));
}

py::object py_range(py::handle stop) { return H().builtins.attr("range")(stop); }

py::object py_range(py::handle start, py::handle stop) { return H().builtins.attr("range")(start, stop); }

bool contains(py::handle container, py::handle x) {
    const int r = PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object item(py::handle obj, py::ssize_t i) { return obj[py::int_(i)]; }

py::list new_list(py::handle x) {
    PyObject* r = PySequence_List(x.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(r);
}

bool py_compare(py::handle a, py::handle b, int op) {
    py::object r = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!r) throw py::error_already_set();
    return truthy(r);
}

bool py_eq(py::handle a, py::handle b) { return py_compare(a, b, Py_EQ); }

void rethrow_in_handler(py::error_already_set& raised, const py::error_already_set& handled) {
    raised.value().attr("__context__") = handled.value();
    throw raised;
}

std::string str(py::handle h) { return py::str(h); }

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void bare_assert(bool condition) {
    if (condition || H().optimize) return;
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

py::str make_uid(const std::string& prefix, py::handle name) {
    return py::str(prefix + str(name) + "_" + str(H().uuid.attr("uuid4")()));
}

py::str make_uid(const std::string& prefix) { return py::str(prefix + str(H().uuid.attr("uuid4")())); }


bool is_ndarray(py::handle a) { return py::isinstance<py::array>(a); }

py::object module_class(const char* name) { return H().module.attr(name); }

py::object namestr(py::object obj, py::object ns) {
    py::list out;
    for (auto key : ns) {
        if (py::object(ns[key]).ptr() == obj.ptr()) out.append(key);
    }
    return std::move(out);
}

// `a, b = pair`, with the interpreter's own errors for anything but two items.
std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    PyObject* it = PyObject_GetIter(pair.ptr());
    if (it == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable " + type_name(pair) + " object");
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int k = 0; k < 2; ++k) {
        PyObject* next = PyIter_Next(iter.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(k) + ")");
        }
        parts[k] = py::reinterpret_steal<py::object>(next);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {parts[0], parts[1]};
}

}  // namespace karrow::binding
