#include "binding/class_builder.hpp"

namespace karrow::binding {

ClassBuilder::ClassBuilder(py::module_ module, std::string name, py::tuple bases, std::string doc)
    : module_(std::move(module)), name_(std::move(name)), bases_(std::move(bases)) {
    module_name_ = py::str(module_.attr("__name__"));
    py::tuple prepared = py::module_::import("types").attr("prepare_class")(name_, bases_);
    metaclass_ = prepared[0];
    namespace_ = prepared[1];
    kwds_ = prepared[2];
    namespace_["__module__"] = py::str(module_name_);
    namespace_["__qualname__"] = py::str(name_);
    if (!doc.empty()) namespace_["__doc__"] = py::str(doc);
}

FunctionInfo ClassBuilder::info(const char* name, const char* params, const char* doc, bool is_abstract) const {
    FunctionInfo fi;
    fi.name = name;
    fi.qualname = name_ + "." + name;
    fi.module = module_name_;
    fi.params = params;
    fi.doc = doc;
    fi.is_abstract = is_abstract;
    return fi;
}

py::object ClassBuilder::finish() {
    py::object cls = metaclass_(py::str(name_), bases_, namespace_, **py::reinterpret_borrow<py::dict>(kwds_));
    module_.attr(name_.c_str()) = cls;
    return cls;
}

}  // namespace karrow::binding
