#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "core/trees/max_tree.hpp"
#include "core/trees/min_tree.hpp"
#include "core/trees/node.hpp"

// Registration steps of the _vexa module, called in this order by the module
// initialisation. Each lives in its own file.
namespace vexa::python {

using NodeClass = pybind11::class_<Node>;
using MaxTreeClass = pybind11::class_<MaxTree, MorphologicalTree>;
using MinTreeClass = pybind11::class_<MinTree, MorphologicalTree>;

void bindNode(pybind11::module_& m);
void bindTrees(pybind11::module_& m);
void bindAttributes(pybind11::module_& m);
void bindPartitionTree(pybind11::module_& m);  // DissimilarityType, then BPT
void bindNodeBpt(pybind11::module_& m);
void bindTreeOps(pybind11::module_& m);            // tree sums over parent arrays
void bindFastPartitionTree(pybind11::module_& m);  // private: region merging and cuts
void bindThreads(pybind11::module_& m);            // the thread setting
void bindMemory(pybind11::module_& m);             // private: the memory kept for reuse
void bindAnyTrees(pybind11::module_& m);           // component trees of any image
void bindBatchTrees(pybind11::module_& m);         // private: one tree per image of a list, in parallel
void bindLearnedFilter(pybind11::module_& m);      // private: the learnable filter's native passes
void bindCheckedTree(pybind11::module_& m);        // private: _Tree, a parent array checked once, and its passes
void bindShapes(pybind11::module_& m);             // private: the tree of shapes of any image
void bindWatershed(pybind11::module_& m);          // private: watershed hierarchies and saliency
// Ctrl-C reaches long native work (installed first).
void installInterruptCheck(pybind11::module_& m);

// Members that other files add to classes registered above.
void bindNodeRecords(NodeClass& cls);
void bindTreeRecords(MaxTreeClass& cls);
void bindTreeRecords(MinTreeClass& cls);
void bindTreeTensors(MaxTreeClass& cls);
void bindTreeTensors(MinTreeClass& cls);
void bindTreeArrays(MaxTreeClass& cls);
void bindTreeArrays(MinTreeClass& cls);

// The name of an object's type, for error messages.
inline std::string typeName(pybind11::handle object) {
    return std::string(pybind11::str(pybind11::type::of(object).attr("__name__")));
}

// Docstrings shared by several members.
inline constexpr const char* kRadiusDoc = "Raio de vizinhança utilizado na construção da árvore.";
inline constexpr const char* kNodeListDoc = "Lista de ponteiros para os nós da árvore.";

}  // namespace vexa::python
