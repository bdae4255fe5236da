#include <pybind11/pybind11.h>

#include "python/bindings.hpp"
#include "python/torch_casters.hpp"
#include "tensors/tree_arrays.hpp"
#include "tensors/tree_sums.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

template <typename Tree>
void defineTreeArrays(py::class_<Tree, MorphologicalTree>& cls) {
    cls.def_property_readonly(
           "parents", [](const MorphologicalTree& tree) { return TorchTensor{tensors::parentIds(tree)}; },
           "Ids dos pais dos nós (int64, -1 para um nó sem pai), na ordem dos ids.")
        .def_property_readonly(
            "pixel_to_node", [](const MorphologicalTree& tree) { return TorchTensor{tensors::pixelNodeIds(tree)}; },
            "Id do menor nó que contém cada pixel (int64), com a forma da imagem.");
}

// A pass over a parent array: it touches no Python object, so it runs
// without the interpreter lock.
template <at::Tensor (*pass)(const at::Tensor&, const at::Tensor&)>
TorchTensor withoutLock(const TorchTensor& parents, const TorchTensor& values) {
    py::gil_scoped_release release;
    return TorchTensor{pass(parents.tensor, values.tensor)};
}

}  // namespace

void bindTreeArrays(MaxTreeClass& cls) { defineTreeArrays(cls); }
void bindTreeArrays(MinTreeClass& cls) { defineTreeArrays(cls); }

void bindTreeOps(py::module_& m) {
    // Private kernels of vexa.ops and vexa.filters: no autograd history.
    m.def("_ancestor_sum", &withoutLock<&tensors::ancestorSum>, py::arg("parents"), py::arg("values"),
          "Soma de cada nó com todos os seus ancestrais: out[i] = values[i] + out[parents[i]] (J^T @ values). "
          "Sem histórico de autograd; use vexa.levels_from_residues.");
    m.def("_subtree_sum", &withoutLock<&tensors::subtreeSum>, py::arg("parents"), py::arg("values"),
          "Soma de values sobre a subárvore de cada nó (J @ values). Sem histórico de autograd; use "
          "vexa.subtree_sums.");
    m.def("_nearest_kept", &withoutLock<&tensors::nearestKept>, py::arg("parents"), py::arg("keep"),
          "Para cada nó, o nó mais próximo entre ele e seus ancestrais com keep verdadeiro (int64, -1 se "
          "nenhum).");
}

}  // namespace vexa::python
