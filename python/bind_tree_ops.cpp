#include <torch/csrc/utils/pybind.h>

#include "bpt/binary_partition_tree.hpp"
#include "python/bindings.hpp"
#include "tensors/tree_arrays.hpp"
#include "tensors/tree_sums.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

template <typename Tree>
void defineTreeArrays(py::class_<Tree, MorphologicalTree>& cls) {
    cls.def_property_readonly(
           "parents", [](const MorphologicalTree& tree) { return tensors::parentIds(tree); },
           "Ids dos pais dos nós (int64, -1 para um nó sem pai), na ordem dos ids.")
        .def_property_readonly(
            "pixel_to_node", [](const MorphologicalTree& tree) { return tensors::pixelNodeIds(tree); },
            "Id do menor nó que contém cada pixel (int64), com a forma da imagem.");
}

}  // namespace

void bindTreeArrays(MaxTreeClass& cls) { defineTreeArrays(cls); }
void bindTreeArrays(MinTreeClass& cls) { defineTreeArrays(cls); }

void bindTreeOps(py::module_& m) {
    // Flat arrays of the partition tree, for the same tree sums.
    auto bpt = py::reinterpret_borrow<py::class_<BinaryPartitionTree>>(m.attr("BPT"));
    bpt.def_property_readonly(
           "parents", [](const BinaryPartitionTree& tree) { return tensors::parentIndices(tree); },
           "Posição do pai de cada nó na lista nodes (int64, -1 para a raiz), na ordem de nodes.")
        .def_property_readonly(
            "pixel_to_node",
            [](const BinaryPartitionTree& tree) { return tensors::pixelLeafIndices(tree); },
            "Posição na lista nodes da folha que contém cada pixel (int64), com a forma da imagem.");

    m.def("ancestor_sum", &tensors::ancestorSum, py::arg("parents"), py::arg("values"),
          "Soma de cada nó com todos os seus ancestrais: out[i] = values[i] + out[parents[i]].\n\n"
          "parents: tensor int64 (N), -1 para um nó sem pai; values: tensor de ponto flutuante "
          "(N) ou (N, C). É J^T @ values para a matriz de ancestrais J (níveis a partir dos "
          "resíduos).");
    m.def("subtree_sum", &tensors::subtreeSum, py::arg("parents"), py::arg("values"),
          "Soma de values sobre a subárvore de cada nó (o nó e todos os seus descendentes).\n\n"
          "parents: tensor int64 (N), -1 para um nó sem pai; values: tensor de ponto flutuante "
          "(N) ou (N, C). É J @ values, o adjunto de ancestor_sum.");
}

}  // namespace vexa::python
