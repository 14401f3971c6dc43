// The extension module: imports in their fixed order, then the module function,
// then the twenty classes in their fixed order.
#include <pybind11/pybind11.h>

#include "binding/helpers.hpp"
#include "binding/pyfunction.hpp"
#include "module/registry.hpp"

namespace py = pybind11;
using namespace karrow::module;

namespace karrow::module {

namespace {
void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    py::module_ src = py::module_::import(module);
    for (const char* n : names) m.attr(n) = src.attr(n);
}
}  // namespace

void import_dependencies(py::module_& m) {
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("uuid") = py::module_::import("uuid");
    m.attr("scipy") = py::module_::import("scipy");
    bind_from(m, "sklearn.feature_selection", {"SelectKBest", "f_classif", "f_regression"});
    m.attr("operator") = py::module_::import("operator");
    bind_from(m, "sklearn.preprocessing", {"OneHotEncoder", "StandardScaler", "MinMaxScaler"});
    bind_from(m, "sklearn.decomposition", {"PCA", "FastICA"});
    bind_from(m, "sklearn.kernel_approximation", {"Nystroem"});
    bind_from(m, "sklearn.cluster", {"FeatureAgglomeration"});
    m.attr("inspect") = py::module_::import("inspect");
    m.attr("random") = py::module_::import("random");
    m.attr("multiprocessing") = py::module_::import("multiprocessing");
    m.attr("copy") = py::module_::import("copy");
    bind_from(m, "karrow_libs.vantor.transforms.sklearn_compat", {"VantorTransformer"});
    m.attr("FC") = py::module_::import("karrow_libs.utils.fc_methods");
    bind_from(m, "sklearn.preprocessing", {"KBinsDiscretizer"});
    m.attr("TExtras") = py::module_::import("karrow_libs.vantor.transforms.textras_methods");
    bind_from(m, "karrow_libs.utils.data_utils", {"DataUtils"});
    bind_from(m, "abc", {"ABC", "abstractmethod"});
}

}  // namespace karrow::module

PYBIND11_MODULE(transform_utils, m) {
    m.doc() = "Transform layer of the automated feature engineering: candidate spaces, "
              "transforms, the transform catalogue, feature selectors and data preparation.";
    karrow::binding::init_function_type();
    import_dependencies(m);
    karrow::binding::init_handles(m);
    register_resolve_basic_datatypes(m);
    register_AbstractCandidatesSpaceDescriptor(m);
    register_SingletonCandidateSpaceDescriptor(m);
    register_CandidatesSpaceDescriptor(m);
    register_DatasetS(m);
    register_MakeDFReady(m);
    register_FS1(m);
    register_FS2(m);
    register_FS3(m);
    register_Tproxy(m);
    register_DataUtils(m);
    register_TNoOp(m);
    register_TA1(m);
    register_TA2(m);
    register_TGen(m);
    register_TB1(m);
    register_TB2(m);
    register_TAM(m);
    register_DropTransform(m);
    register_TransformBase(m);
    register_PreprocessDF(m);
}
