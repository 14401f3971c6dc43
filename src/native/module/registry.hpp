// One registration function per module-level definition, called in source order.
#pragma once

#include <pybind11/pybind11.h>

namespace karrow::module {

namespace py = pybind11;

void import_dependencies(py::module_& m);
void register_resolve_basic_datatypes(py::module_& m);
void register_AbstractCandidatesSpaceDescriptor(py::module_& m);
void register_SingletonCandidateSpaceDescriptor(py::module_& m);
void register_CandidatesSpaceDescriptor(py::module_& m);
void register_DatasetS(py::module_& m);
void register_MakeDFReady(py::module_& m);
void register_FS1(py::module_& m);
void register_FS2(py::module_& m);
void register_FS3(py::module_& m);
void register_Tproxy(py::module_& m);
void register_DataUtils(py::module_& m);
void register_TNoOp(py::module_& m);
void register_TA1(py::module_& m);
void register_TA2(py::module_& m);
void register_TGen(py::module_& m);
void register_TB1(py::module_& m);
void register_TB2(py::module_& m);
void register_TAM(py::module_& m);
void register_DropTransform(py::module_& m);
void register_TransformBase(py::module_& m);
void register_PreprocessDF(py::module_& m);

}  // namespace karrow::module
