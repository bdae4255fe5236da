#pragma once
#include <pybind11/pybind11.h>

#include "bpt/node_bpt.hpp"
#include "core/node.hpp"

// Nodes handed to Python. A node a tree owns comes out as a non-owning
// reference that keeps its tree's Python object alive, whatever object it
// was read from: walking `x = x.parent` a million times then holds a million
// references to one tree, not a chain of a million references that Python
// would release recursively. A node made from Python comes out as the very
// object that owns it.
namespace vexa::python {

// Return type of members that hand out one node (null becomes None).
template <typename NodeT>
struct NodeRef {
    NodeT* node = nullptr;
};

pybind11::handle castNodeRef(Node* node);
pybind11::handle castNodeRef(NodeBPT* node);

}  // namespace vexa::python

namespace pybind11::detail {

template <typename NodeT>
struct type_caster<vexa::python::NodeRef<NodeT>> {
    PYBIND11_TYPE_CASTER(vexa::python::NodeRef<NodeT>, make_caster<NodeT>::name);
    bool load(handle, bool) { return false; }
    static handle cast(const vexa::python::NodeRef<NodeT>& ref, return_value_policy, handle) {
        return vexa::python::castNodeRef(ref.node);
    }
};

}  // namespace pybind11::detail
