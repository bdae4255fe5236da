#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/torch_casters.hpp"
#include "tensors/learned_filter.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

using tensors::LearnedFilterBatch;

// A list's item through the tensor caster, refused by name otherwise.
at::Tensor tensorOf(const py::handle& item, const std::string& name) {
    py::detail::make_caster<TorchTensor> caster;
    if (!caster.load(item, false)) throw py::type_error(name + " must be a torch tensor, got " + typeName(item));
    return py::detail::cast_op<TorchTensor&>(caster).tensor;
}

LearnedFilterBatch* makeBatch(const py::list& parents, const py::list& pixelToNode,
                              const std::vector<std::string>& attributes, bool maxTree) {
    if (pixelToNode.size() != parents.size())
        throw py::value_error("parents and pixel_to_node must have one entry per tree, got " +
                              std::to_string(parents.size()) + " and " + std::to_string(pixelToNode.size()));
    std::vector<tensors::FilterTree> trees;
    for (size_t k = 0; k < parents.size(); ++k) {
        const std::string at = "[" + std::to_string(k) + "]";
        trees.push_back({tensorOf(parents[k], "parents" + at), tensorOf(pixelToNode[k], "pixel_to_node" + at)});
    }
    py::gil_scoped_release release;  // the list holds every tensor meanwhile
    return new LearnedFilterBatch(trees, attributes, maxTree);
}

}  // namespace

void bindLearnedFilter(py::module_& m) {
    py::class_<LearnedFilterBatch>(m, "_LearnedFilterBatch",
                                   "The learnable subtractive filter of a batch of component trees: the native "
                                   "forward and first-order backward of vexa.ConnectedFilter, one tree per thread.")
        .def(py::init(&makeBatch), py::arg("parents"), py::arg("pixel_to_node"), py::arg("attributes"),
             py::arg("max_tree"))
        .def_property_readonly("num_features", &LearnedFilterBatch::numFeatures)
        .def(
            "forward",
            [](LearnedFilterBatch& batch, const TorchTensor& images, const TorchTensor& weight,
               const TorchTensor& bias) {
                py::gil_scoped_release release;
                return TorchTensor{batch.forward(images.tensor, weight.tensor, bias.tensor)};
            },
            py::arg("images"), py::arg("weight"), py::arg("bias"), "The filtered images (K, P); no autograd history.")
        .def(
            "backward",
            [](const LearnedFilterBatch& batch, const TorchTensor& grad) {
                std::tuple<at::Tensor, at::Tensor, at::Tensor> grads;
                {
                    py::gil_scoped_release release;
                    grads = batch.backward(grad.tensor);
                }
                auto& [images, weight, bias] = grads;
                return py::make_tuple(TorchTensor{images}, TorchTensor{weight}, TorchTensor{bias});
            },
            py::arg("grad_output"), "Gradients (images, weight, bias) from that of forward's output.");
    guardInstances<LearnedFilterBatch>();
}

}  // namespace vexa::python
