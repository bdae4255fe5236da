#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "attributes/node_info.hpp"
#include "python/bindings.hpp"
#include "python/list_results.hpp"

namespace vexa::python {

namespace {

template <typename Tree>
void defineTreeRecords(pybind11::class_<Tree, MorphologicalTree>& cls) {
    cls.def(
        "getInfoToDataFrame", [](const Tree& tree) { return asList(treeInfo(tree)); }, kNodeListDoc);
}

}  // namespace

void bindNodeRecords(NodeClass& cls) {
    cls.def(
        "getInfoToDataFrame", [](const Node& node) { return Checked<NodeInfo>{nodeInfo(node.tree(), node.id())}; },
        kNodeListDoc);
}

void bindTreeRecords(MaxTreeClass& cls) { defineTreeRecords(cls); }
void bindTreeRecords(MinTreeClass& cls) { defineTreeRecords(cls); }

}  // namespace vexa::python
