#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sstream>

#include "attributes/attributes_pack.hpp"
#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"
#include "python/torch_casters.hpp"

namespace py = pybind11;

namespace vexa::python {

void bindAttributes(py::module_& m) {
    // Packs are made by Attributes only: no constructor is exposed.
    py::class_<AttributesPack>(m, "AttributesPack")
        .def_property_readonly("AREA", [](const AttributesPack& p) { return TorchTensor{p.area()}; })
        .def_property_readonly("VOLUME", [](const AttributesPack& p) { return TorchTensor{p.volume()}; })
        .def_property_readonly("HEIGHT", [](const AttributesPack& p) { return TorchTensor{p.height()}; })
        .def_property_readonly("WIDTH", [](const AttributesPack& p) { return TorchTensor{p.width()}; })
        .def_property_readonly("RECTANGULARITY",
                               [](const AttributesPack& p) { return TorchTensor{p.rectangularity()}; })
        .def_property_readonly("data", [](const AttributesPack& p) { return TorchTensor{p.data()}; })
        // The same five names for every pack, so readable from the class too.
        .def_property_readonly_static("names", [](py::object) { return asList(AttributesPack::attributeNames()); })
        .def_property_readonly("num_nodes", &AttributesPack::numNodes)
        .def_property_readonly("num_attrs", &AttributesPack::numAttrs)
        // Pickled as its table.
        .def(py::pickle([](const AttributesPack& p) { return TorchTensor{p.data()}; },
                        [](const TorchTensor& data) {
                            const at::Tensor& t = data.tensor;
                            if (t.scalar_type() != at::kDouble || !t.device().is_cpu() || t.layout() != at::kStrided ||
                                t.dim() != 2 || t.size(0) < 1 || t.size(1) != int64_t(NUM_ATTRIBUTES)) {
                                std::ostringstream got;
                                got << t.scalar_type() << " " << t.layout() << " tensor of shape " << t.sizes()
                                    << " on " << t.device();
                                throw py::value_error(
                                    "AttributesPack state must be a dense float64 CPU tensor of "
                                    "shape (N, " +
                                    std::to_string(NUM_ATTRIBUTES) + "), N >= 1, as __getstate__ gives; got a " +
                                    got.str() + ".");
                            }
                            return new AttributesPack(t);
                        }));

    guardInstances<AttributesPack>();

    m.def("Attributes", &extractAttributes, py::arg("tree").none(false),
          "Extrai os atributos da árvore morfológica e retorna um pacote com acesso por nome");
}

}  // namespace vexa::python
