// Data preparation: DatasetS, MakeDFReady and PreprocessDF.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object DatasetS_init(py::object self, py::object dataframe) {
    self.attr("df") = dataframe;
    return py::none();
}

py::object MakeDFReady_init(py::object self) {
    self.attr("name") = make_uid("SkReady-");
    self.attr("uid") = self.attr("name");
    self.attr("long_name") = self.attr("uid");
    self.attr("run_") = py::none();
    return py::none();
}

py::object PreprocessDF_init(py::object self) {
    self.attr("uid") = make_uid("T1-", py::str("preproc"));
    return py::none();
}

}  // namespace

void register_DatasetS(py::module_& m) {
    ClassBuilder(m, "DatasetS", py::tuple(), "Holds one data frame and derives columns from it.")
        .method("__init__", "self, dataframe", &DatasetS_init)
        .pending("AddNewColumns", "self, fun")
        .pending("GetTargetType", "y", true)
        .finish();
}

void register_MakeDFReady(py::module_& m) {
    ClassBuilder(m, "MakeDFReady", py::tuple(), "Learns which columns are numeric and keeps only those.")
        .method("__init__", "self", &MakeDFReady_init)
        .pending("transform", "self, X, n_jobs=1")
        .pending("fit", "self, X, y")
        .finish();
}

void register_PreprocessDF(py::module_& m) {
    ClassBuilder(m, "PreprocessDF", py::make_tuple(m.attr("VantorTransformer")),
                 "Turns text columns holding dates into datetime columns.")
        .method("__init__", "self", &PreprocessDF_init)
        .pending("transform", "self, df, n_jobs=1")
        .pending("fit", "self, X, y")
        .finish();
}

}  // namespace karrow::module
