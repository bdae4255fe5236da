#pragma once
#include <pybind11/pybind11.h>

#include "bpt/node_bpt.hpp"
#include "core/trees/node.hpp"

// Nodes handed to Python. A node a tree owns comes out as a non-owning
// reference that keeps its tree's Python object alive, whatever object it
// was read from: walking `x = x.parent` a million times then holds a million
// references to one tree, not a chain of a million references that Python
// would release recursively. A node made from Python comes out as the very
// object that owns it.
namespace vexa::python {

// Return type of members that hand out one node (null becomes None). The
// owner, the Python object of the node's tree, is looked up when not given:
// members that hand out many nodes of one tree look it up once.
template <typename NodeT>
struct NodeRef {
    NodeT* node = nullptr;
    pybind11::handle owner = {};
};

// The Python object of a tree (null if it has none).
pybind11::handle treeObject(const MorphologicalTree& tree);
pybind11::handle treeObject(const BinaryPartitionTree& tree);

pybind11::handle castNodeRef(Node* node, pybind11::handle owner);
pybind11::handle castNodeRef(NodeBPT* node, pybind11::handle owner);

}  // namespace vexa::python

namespace pybind11::detail {

template <typename NodeT>
struct type_caster<vexa::python::NodeRef<NodeT>> {
    PYBIND11_TYPE_CASTER(vexa::python::NodeRef<NodeT>, make_caster<NodeT>::name);
    bool load(handle, bool) { return false; }
    static handle cast(const vexa::python::NodeRef<NodeT>& ref, return_value_policy, handle) {
        return vexa::python::castNodeRef(ref.node, ref.owner);
    }
};

}  // namespace pybind11::detail
