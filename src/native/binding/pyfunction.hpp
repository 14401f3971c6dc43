// A function type of our own that behaves like a Python function.
//
// Every method of the module's classes is one of these objects. It binds its
// arguments the way CPython binds a `def` (same order of checks, same TypeError
// texts), becomes a bound method when read through an instance, carries a real
// `inspect.Signature` in `__signature__`, can be marked abstract, and pickles by
// reference (module + qualified name).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace karrow::binding {

namespace py = pybind11;

// Type-erased method body: receives the bound arguments in parameter order
// (the object first for instance methods).
using Body = std::function<py::object(const py::object* args)>;

struct FunctionInfo {
    std::string name;       // "fit"
    std::string qualname;   // "TA1.fit"
    std::string module;     // dotted module name
    std::string params;     // "self, X, y, col_names=None"
    std::string doc;        // may be empty
    bool is_abstract = false;
};

// Builds a function object. `arity` is the body's parameter count; import fails
// with a RuntimeError when it disagrees with the parameter string.
py::object make_function(const FunctionInfo& info, Body body, std::size_t arity);

// Ready the type; called once at import.
void init_function_type();

namespace detail {
template <class T>
inline constexpr bool is_object_param =
    std::is_same_v<std::decay_t<T>, py::object>;

template <class... A, std::size_t... I>
py::object call_body(py::object (*f)(A...), const py::object* args, std::index_sequence<I...>) {
    return f(args[I]...);
}
}  // namespace detail

// Wraps a plain C++ function taking N `py::object` (or `const py::object&`)
// parameters and returning `py::object`.
template <class... A>
py::object make_function(const FunctionInfo& info, py::object (*f)(A...)) {
    static_assert((detail::is_object_param<A> && ...),
                  "method bodies take py::object parameters");
    Body body = [f](const py::object* args) {
        return detail::call_body(f, args, std::index_sequence_for<A...>{});
    };
    return make_function(info, std::move(body), sizeof...(A));
}

}  // namespace karrow::binding
