#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/geometry/pixel.hpp"
#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"
#include "python/node_references.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

// Nodes belong to their tree, which builds them; a Pixel has no Python type,
// so these constructors exist for the signature alone and never match.
Node* nodeFromPython(int32_t, int32_t, uint8_t, Pixel) { throw std::runtime_error("Nodes are created by their tree."); }
Node* childFromPython(int32_t, int32_t, uint8_t, Pixel, Node&) {
    throw std::runtime_error("Nodes are created by their tree.");
}

}  // namespace

void bindNode(py::module_& m) {
    constexpr const char* kPixelsDoc = "Retorna a lista de pixels CNPs do nó.";
    // Nodes handed to Python keep their tree alive (python/node_references.hpp).
    NodeClass cls(m, "Node");
    cls.def(py::init(&nodeFromPython))
        .def(py::init(&childFromPython))
        .def_property_readonly("id", &Node::id)
        .def_property(
            "parent", [](const Node& node) { return NodeRef<Node>{node.parent()}; }, &Node::setParent)
        .def_property_readonly(
            "children",
            [](const Node& node) {
                std::vector<NodeRef<Node>> refs;
                const py::handle owner = treeObject(node.tree());
                for (Node* child : node.children()) refs.push_back({child, owner});
                return asList(std::move(refs));
            },
            "Retorna a lista de ponteiros para os filhos.")
        .def_property_readonly(
            "cnps", [](const Node& node) { return asList(node.tree().cnps(node.id())); }, kPixelsDoc)
        .def_property_readonly(
            "pixelsOfCC", [](const Node& node) { return asList(node.pixelsOfCC()); }, kPixelsDoc)
        .def_property_readonly("level", &Node::level, kPixelsDoc)
        .def_property_readonly("residue", &Node::residue, kPixelsDoc)
        .def_property_readonly("representant", &Node::representant, kPixelsDoc)
        .def_property_readonly("top", &Node::top, kPixelsDoc)
        .def_property_readonly("left", &Node::left, kPixelsDoc)
        .def_property_readonly("bottom", &Node::bottom, kPixelsDoc)
        .def_property_readonly("right", &Node::right, kPixelsDoc);
    bindNodeRecords(cls);
    guardInstances<Node>();
}

}  // namespace vexa::python
