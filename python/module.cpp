#include <pybind11/pybind11.h>

#include "python/bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_vexa, m) {
    // Tensors cross into Python through torch's own bridge, which needs the
    // torch module initialised first.
    py::module_::import("torch");

    m.doc() =
        "Biblioteca para geração de árvores morfológicas, extração de atributos e aplicação de "
        "filtros em imagens.";
    vexa::python::installInterruptCheck(m);
    vexa::python::bindNode(m);
    vexa::python::bindTrees(m);
    vexa::python::bindAttributes(m);
    vexa::python::bindPartitionTree(m);
    vexa::python::bindNodeBpt(m);
    vexa::python::bindTreeOps(m);
    vexa::python::bindFastPartitionTree(m);
    vexa::python::bindThreads(m);
    vexa::python::bindMemory(m);
    vexa::python::bindAnyTrees(m);
    vexa::python::bindBatchTrees(m);
    vexa::python::bindLearnedFilter(m);
    vexa::python::bindCheckedTree(m);
    vexa::python::bindShapes(m);
    vexa::python::bindWatershed(m);
}
