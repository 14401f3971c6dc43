// Small helpers shared by the method bodies.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace karrow::binding {

namespace py = pybind11;

// Module handles fetched once at import. They are never mutated afterwards; the
// pointer is deliberately leaked so that nothing runs after interpreter shutdown.
struct Handles {
    py::module_ builtins, np, pd, uuid, random, multiprocessing, copy, inspect, operator_, functools, sys,
        scipy_sparse;
    py::object module;  // the extension module itself
    bool optimize = false;  // python -O: bare assertions are skipped
};
void init_handles(py::module_ module);
const Handles& H();

// print(*args) through Python's own print, looked up on every call so that
// sys.stdout redirection and monkeypatching are honoured.
template <class... A>
void print(A&&... args) {
    H().builtins.attr("print")(std::forward<A>(args)...);
}

inline bool is_true(py::handle h) { return h.ptr() == Py_True; }
inline bool is_false(py::handle h) { return h.ptr() == Py_False; }
inline bool is_none(py::handle h) { return h.is_none(); }
inline bool truthy(py::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// type(x).__name__
std::string type_name(py::handle h);

// range(stop) and range(start, stop), Python's own.
py::object py_range(py::handle stop);
py::object py_range(py::handle start, py::handle stop);

// `x in container`, through the container's own __contains__.
bool contains(py::handle container, py::handle x);

// obj[i]
py::object item(py::handle obj, py::ssize_t i);

// list(x): always a new list. (py::list(x) would hand back x itself when x is
// already a list, and callers must not touch the caller's list.)
py::list new_list(py::handle x);

// `a <op> b` as an `if` tests it: the truth of the comparison's own result,
// with no identity shortcut for ==.
bool py_compare(py::handle a, py::handle b, int op);
bool py_eq(py::handle a, py::handle b);

// An error raised while handling another one carries it as __context__, as it
// would in an `except` block.
[[noreturn]] void rethrow_in_handler(py::error_already_set& raised, const py::error_already_set& handled);

// str(x) as std::string
std::string str(py::handle h);

[[noreturn]] void raise(PyObject* type, const std::string& message);
// `assert cond` without a message; skipped under python -O.
void bare_assert(bool condition);

// prefix + str(name) + "_" + str(uuid.uuid4())
py::str make_uid(const std::string& prefix, py::handle name);
// prefix + str(uuid.uuid4())
py::str make_uid(const std::string& prefix);

// Is `a` an instance of numpy.ndarray (subclasses included)?
bool is_ndarray(py::handle a);

// The candidates-space descriptor classes, looked up in the module.
py::object module_class(const char* name);

// `a, b = pair`, with the interpreter's own errors for anything but two items.
std::pair<py::object, py::object> unpack_pair(py::handle pair);

// namestr(obj, namespace): keys of the mapping whose value is obj itself.
py::object namestr(py::object obj, py::object ns);

}  // namespace karrow::binding
