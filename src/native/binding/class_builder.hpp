// Builds the module's classes as real Python classes, exactly as a `class`
// statement would: the namespace is filled first (`__module__`, `__qualname__`,
// the docstring, then the methods in definition order) and the metaclass is
// called once with (name, bases, namespace). ABCMeta and scikit-learn's
// `__init_subclass__` hooks therefore see the finished namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "binding/pyfunction.hpp"

namespace karrow::binding {

class ClassBuilder {
public:
    ClassBuilder(py::module_ module, std::string name, py::tuple bases, std::string doc = {});

    template <class F>
    ClassBuilder& method(const char* name, const char* params, F body, const char* doc = "") {
        namespace_[name] = make_function(info(name, params, doc, false), body);
        return *this;
    }

    template <class F>
    ClassBuilder& static_method(const char* name, const char* params, F body, const char* doc = "") {
        namespace_[name] = py::module_::import("builtins").attr("staticmethod")(
            make_function(info(name, params, doc, false), body));
        return *this;
    }

    template <class F>
    ClassBuilder& abstract_method(const char* name, const char* params, F body, const char* doc = "") {
        namespace_[name] = make_function(info(name, params, doc, true), body);
        return *this;
    }

    // Creates the class, binds it in the module and returns it.
    py::object finish();

private:
    FunctionInfo info(const char* name, const char* params, const char* doc, bool is_abstract) const;

    py::module_ module_;
    std::string name_;
    std::string module_name_;
    py::tuple bases_;
    py::object metaclass_;
    py::object namespace_;
    py::object kwds_;
};

}  // namespace karrow::binding
