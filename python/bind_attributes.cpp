#include <torch/csrc/utils/pybind.h>

#include "attributes/attributes_pack.hpp"
#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"

namespace py = pybind11;

namespace vexa::python {

void bindAttributes(py::module_& m) {
    // Packs are made by Attributes only: no constructor is exposed.
    py::class_<AttributesPack>(m, "AttributesPack")
        .def_property_readonly("AREA", &AttributesPack::area)
        .def_property_readonly("VOLUME", &AttributesPack::volume)
        .def_property_readonly("HEIGHT", &AttributesPack::height)
        .def_property_readonly("WIDTH", &AttributesPack::width)
        .def_property_readonly("RECTANGULARITY", &AttributesPack::rectangularity)
        .def_property_readonly("data", &AttributesPack::data)
        // The same five names for every pack, so readable from the class too.
        .def_property_readonly_static("names", [](py::object) { return asList(AttributesPack::attributeNames()); })
        .def_property_readonly("num_nodes", &AttributesPack::numNodes)
        .def_property_readonly("num_attrs", &AttributesPack::numAttrs);

    guardInstances<AttributesPack>();

    m.def("Attributes", &extractAttributes, py::arg("tree").none(false),
          "Extrai os atributos da árvore morfológica e retorna um pacote com acesso por nome");
}

}  // namespace vexa::python
