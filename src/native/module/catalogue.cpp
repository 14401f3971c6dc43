// TransformBase: the catalogue of transforms by name.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

void register_TransformBase(py::module_& m) {
    ClassBuilder(m, "TransformBase", py::tuple(), "The catalogue: builds configured transforms by their short names.")
        .pending("ValidatedTransformNames", "list_names", true)
        .pending("GetAllTransformNames", "", true)
        .pending("GetAllUnaryTransformNames", "", true)
        .pending("GetAllBinaryTransformNames", "", true)
        .pending("GetTransformObj", "trName, tgraph=None, apply_all=True", true)
        .finish();
}

}  // namespace karrow::module
