#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/pixel.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

// Nodes belong to their tree, which builds them; a Pixel has no Python type,
// so these constructors exist for the signature alone and never match.
Node* nodeFromPython(int32_t, int32_t, uint8_t, Pixel) {
    throw std::runtime_error("Nodes are created by their tree.");
}
Node* childFromPython(int32_t, int32_t, uint8_t, Pixel, Node&) {
    throw std::runtime_error("Nodes are created by their tree.");
}

}  // namespace

void bindNode(py::module_& m) {
    constexpr const char* kPixelsDoc = "Retorna a lista de pixels CNPs do nó.";
    // Every node handed to Python keeps the object it was read from alive, and
    // through it the tree, so references never outlive their tree.
    constexpr auto kRef = py::return_value_policy::reference_internal;

    NodeClass cls(m, "Node");
    cls.def(py::init(&nodeFromPython))
        .def(py::init(&childFromPython))
        .def_property_readonly("id", &Node::id)
        .def_property("parent", &Node::parent, &Node::setParent, kRef)
        .def_property_readonly("children", &Node::children, kRef,
                               "Retorna a lista de ponteiros para os filhos.")
        .def_property_readonly("cnps", &Node::cnps, kPixelsDoc)
        .def_property_readonly("pixelsOfCC", &Node::pixelsOfCC, kPixelsDoc)
        .def_property_readonly("level", &Node::level, kPixelsDoc)
        .def_property_readonly("residue", &Node::residue, kPixelsDoc)
        .def_property_readonly("representant", &Node::representant, kPixelsDoc)
        .def_property_readonly("top", &Node::top, kPixelsDoc)
        .def_property_readonly("left", &Node::left, kPixelsDoc)
        .def_property_readonly("bottom", &Node::bottom, kPixelsDoc)
        .def_property_readonly("right", &Node::right, kPixelsDoc);
    bindNodeRecords(cls);
}

}  // namespace vexa::python
