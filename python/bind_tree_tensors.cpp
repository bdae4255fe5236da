#include <pybind11/pybind11.h>

#include <string>

#include "core/trees/jacobian_indices.hpp"
#include "python/bindings.hpp"
#include "python/torch_casters.hpp"
#include "tensors/jacobian.hpp"
#include "tensors/tree_tensors.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

constexpr const char* kCooIndicesDoc =
    "Gera os vetores de indices de linhas e colunas para montra uma matriz jacobian esparsa (COO)";
constexpr const char* kCsrIndicesDoc =
    "Gera os vetores de indices de linhas (comprimidas) e colunas para montra uma matriz jacobian "
    "esparsa (CSR)";

// Levels, residues, the index generators and the Jacobians, the same on both
// tree classes. Defaults are Python objects made once, here: "cpu", "coo" and
// torch.float32. A device string may come as str, bytes or bytearray.
template <typename Tree>
void defineTensorMembers(py::class_<Tree, MorphologicalTree>& cls) {
    const py::object float32 = py::module_::import("torch").attr("float32");
    cls.def(
           "residues",
           [](const Tree& tree, const std::string& deviceStr, c10::ScalarType dtype) {
               return TorchTensor{tensors::residues(tree, deviceStr, dtype)};
           },
           py::arg("deviceStr") = "cpu", py::arg("dtype") = float32, kRadiusDoc)
        .def_property_readonly(
            "levels", [](const Tree& tree) { return TorchTensor{tensors::levels(tree)}; }, kRadiusDoc)
        .def(
            "generate_sparse_coo_indices", [](Tree& tree) { generateSparseCooIndices(tree); }, kCooIndicesDoc)
        .def(
            "generate_sparse_csr_indices", [](Tree& tree) { generateSparseCsrIndices(tree); }, kCsrIndicesDoc)
        .def(
            "jacobian_coo",
            [](Tree& tree, const std::string& deviceStr, c10::ScalarType dtype) {
                return TorchTensor{tensors::jacobianCoo(tree, deviceStr, dtype)};
            },
            py::arg("deviceStr") = "cpu", py::arg("dtype") = float32, "Constrói uma matriz jacobiana esparsa (COO)")
        .def(
            "jacobian_csr",
            [](Tree& tree, const std::string& deviceStr, c10::ScalarType dtype) {
                return TorchTensor{tensors::jacobianCsr(tree, deviceStr, dtype)};
            },
            py::arg("deviceStr") = "cpu", py::arg("dtype") = float32, "Constrói uma matriz jacobiana esparsa (CSR)")
        .def(
            "jacobian",
            [](Tree& tree, const std::string& deviceStr, const std::string& sparseFormat, c10::ScalarType dtype) {
                return TorchTensor{tensors::jacobian(tree, deviceStr, sparseFormat, dtype)};
            },
            py::arg("deviceStr") = "cpu", py::arg("sparseFormat") = "coo", py::arg("dtype") = float32,
            "Constrói uma matriz jacobiana compacta");
}

}  // namespace

void bindTreeTensors(MaxTreeClass& cls) { defineTensorMembers(cls); }
void bindTreeTensors(MinTreeClass& cls) { defineTensorMembers(cls); }

}  // namespace vexa::python
