#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "python/bindings.hpp"
#include "python/torch_casters.hpp"
#include "tensors/checked_tree.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

using TensorPair = std::pair<TorchTensor, TorchTensor>;

TensorPair pairOf(std::pair<at::Tensor, at::Tensor> tensors) {
    return {TorchTensor{std::move(tensors.first)}, TorchTensor{std::move(tensors.second)}};
}

// A pass that takes one argument: checked with the lock held, run without it.
template <at::Tensor (*check)(const CheckedTree&, const at::Tensor&), typename Result,
          Result (*pass)(const CheckedTree&, const at::Tensor&)>
auto checkedPass() {
    return [](const CheckedTree& tree, const TorchTensor& argument) {
        const at::Tensor checked = check(tree, argument.tensor);
        py::gil_scoped_release release;
        if constexpr (std::is_same_v<Result, at::Tensor>) return TorchTensor{pass(tree, checked)};
        else return pairOf(pass(tree, checked));
    };
}

// A pass over the tree alone, without the lock.
template <typename Result, Result (*pass)(const CheckedTree&)>
auto unlockedPass() {
    return [](const CheckedTree& tree) {
        py::gil_scoped_release release;
        if constexpr (std::is_same_v<Result, at::Tensor>) return TorchTensor{pass(tree)};
        else return pairOf(pass(tree));
    };
}

std::unique_ptr<CheckedTree> treeOfParents(const TorchTensor& parents) {
    const at::Tensor checked = tensors::checkedParents(parents.tensor);
    py::gil_scoped_release release;
    return std::make_unique<CheckedTree>(tensors::treeOf(checked));
}

}  // namespace

void bindCheckedTree(py::module_& m) {
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const tensors::WrongTensorKind& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        }
    });

    using tensors::checkedKeep;
    using tensors::checkedSumValues;
    using Pair = std::pair<at::Tensor, at::Tensor>;
    py::class_<CheckedTree>(m, "_Tree",
                            "Árvore dada por um vetor de pais (int64, -1 para a raiz), lido e verificado uma só vez: "
                            "uma raiz, ids válidos, sem ciclos. Privada; base do modelo de árvore de vexa.")
        .def(py::init(&treeOfParents), py::arg("parents"))
        .def_property_readonly("num_nodes", &CheckedTree::size, "Número de nós.")
        .def_property_readonly(
            "root", [](const CheckedTree& tree) { return int64_t(tree.root()); }, "Id da raiz.")
        .def("parents", unlockedPass<at::Tensor, &tensors::parentsOf>(),
             "Cópia dos ids dos pais (int64, -1 para a raiz).")
        .def("children", unlockedPass<Pair, &tensors::childrenOf>(),
             "Filhos de cada nó em forma comprimida: (offsets (N + 1), ids), ids crescentes por nó.")
        .def("depths", unlockedPass<at::Tensor, &tensors::depthsOf>(), "Profundidade de cada nó (raiz 0), int64.")
        .def("leaves", unlockedPass<at::Tensor, &tensors::leavesOf>(), "Ids dos nós sem filhos, crescentes.")
        .def(
            "reduce",
            [](const CheckedTree& tree, const TorchTensor& values, const std::string& op, const std::string& over,
               double fill) {
                const tensors::Reduction reduction = tensors::checkedReduction(tree, values.tensor, op, over, fill);
                py::gil_scoped_release release;
                return TorchTensor{tensors::reduce(tree, reduction)};
            },
            py::arg("values"), py::arg("op"), py::arg("over"), py::arg("fill") = 0.0,
            "op (sum, min, max, mean) de values (N) ou (N, C) sobre a subárvore de cada nó (over='subtree') ou "
            "sobre seus filhos (over='children'; fill para um nó sem filhos). Dtypes: float32, float64, int64, "
            "int32, uint8, bool; o resultado tem o dtype de values, exceto a soma de bool, uint8 e int32 (int64) "
            "e a média de inteiros e bool (float64). NaN se propaga.")
        .def("ancestor_sum", checkedPass<&checkedSumValues, at::Tensor, &tensors::ancestorSum>(), py::arg("values"),
             "Soma de cada nó com seus ancestrais (J^T @ values), values de ponto flutuante (N) ou (N, C).")
        .def("subtree_sum", checkedPass<&checkedSumValues, at::Tensor, &tensors::subtreeSum>(), py::arg("values"),
             "Soma de values sobre a subárvore de cada nó (J @ values).")
        .def("nearest_kept", checkedPass<&checkedKeep, at::Tensor, &tensors::nearestKept>(), py::arg("keep"),
             "Para cada nó, o nó mais próximo entre ele e seus ancestrais com keep verdadeiro; a raiz conta como "
             "mantida (int64, nunca -1).")
        .def("simplify", checkedPass<&checkedKeep, Pair, &tensors::simplify>(), py::arg("keep"),
             "Árvore dos nós mantidos (e da raiz), numerados pela ordem dos ids: (pais, node_map), node_map o "
             "novo id do nó mantido mais próximo de cada nó, ele incluído.")
        .def(py::pickle([](const CheckedTree& tree) { return TorchTensor{tensors::parentsOf(tree)}; },
                        [](const TorchTensor& parents) { return treeOfParents(parents); }));
}

}  // namespace vexa::python
