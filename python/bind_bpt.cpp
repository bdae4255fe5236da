#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "bpt/binary_partition_tree.hpp"
#include "bpt/dissimilarity.hpp"
#include "bpt/node_bpt.hpp"
#include "core/image_view.hpp"
#include "python/bindings.hpp"
#include "python/numpy_image.hpp"
#include "python/torch_casters.hpp"
#include "tensors/tree_arrays.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

// Node references keep the object they were read from alive, and through it
// the tree, so a node never outlives the tree that owns it.
constexpr auto kRef = py::return_value_policy::reference_internal;

// Checks in this order: the measure (before either array is read), the label
// map's buffer, the image's buffer, the image's element type, then the
// shapes and the label range.
BinaryPartitionTree* makeTree(py::array image, py::array labels, DissimilarityType type) {
    checkDissimilarityType(type);
    BufferView labelBuffer(labels);
    BufferView imageBuffer(image);
    if (std::strcmp(imageBuffer.format(), "B") != 0)
        throw std::runtime_error("Images must be of type uint8_t.");
    if (imageBuffer.ndim() != 2) throw std::runtime_error("Image must be 2D (height x width).");
    if (labelBuffer.ndim() != 2)
        throw std::runtime_error("Label map must be 2D (height x width).");
    bool swapLabelBytes = false;
    if (!isInt32Format(labelBuffer.format(), labelBuffer.itemSize(), swapLabelBytes))
        throw std::runtime_error("Label map must be of type int32 or uint32.");
    const uint64_t rows = labelBuffer.dim(0), cols = labelBuffer.dim(1);
    if (imageBuffer.dim(0) != rows || imageBuffer.dim(1) != cols)
        throw std::runtime_error(kShapeMismatchMessage);
    if (rows * cols == 0) throw std::runtime_error(kEmptyImageMessage);
    checkImageSize(rows, cols);

    const ImageView imageView{static_cast<const uint8_t*>(imageBuffer.dense2D()), uint32_t(rows),
                              uint32_t(cols)};
    const LabelView labelView{static_cast<const uint32_t*>(labelBuffer.dense2D(swapLabelBytes)),
                              uint32_t(rows), uint32_t(cols)};
    return new BinaryPartitionTree(imageView, labelView, type);
}

NodeBPT* makeMergedNode(int32_t id, NodeBPT* first, NodeBPT* second, uint8_t, float metric) {
    if (!first || !second) throw std::runtime_error("NodeBPT needs two child nodes, not None.");
    return new NodeBPT(id, *first, *second, metric);
}

std::pair<NodeBPT*, NodeBPT*> childrenOf(const NodeBPT& node) {
    return {node.first(), node.second()};
}

}  // namespace

void bindPartitionTree(py::module_& m) {
    py::enum_<DissimilarityType>(m, "DissimilarityType")
        .value("Mean", DissimilarityType::Mean)
        .export_values();

    py::class_<BinaryPartitionTree>(m, "BPT")
        .def(py::init(&makeTree))
        .def_property_readonly("root", &BinaryPartitionTree::root, kRef, kNodeListDoc)
        .def_property_readonly("nodes", &BinaryPartitionTree::nodes, kRef, kNodeListDoc)
        // Flat arrays for the tree sums of vexa.ops.
        .def_property_readonly(
            "parents", [](const BinaryPartitionTree& tree) { return TorchTensor{tensors::parentIndices(tree)}; },
            "Posição do pai de cada nó na lista nodes (int64, -1 para a raiz), na ordem de nodes.")
        .def_property_readonly(
            "pixel_to_node",
            [](const BinaryPartitionTree& tree) { return TorchTensor{tensors::pixelLeafIndices(tree)}; },
            "Posição na lista nodes da folha que contém cada pixel (int64), com a forma da imagem.");
}

void bindNodeBpt(py::module_& m) {
    constexpr const char* kPixelsDoc = "Retorna a lista de pixels do componente conexo do nó.";

    py::class_<NodeBPT>(m, "NodeBPT")
        .def(py::init([](int32_t id, Pixel pixel) { return new NodeBPT(id, pixel); }))
        // The new node points at its children: keep them alive with it.
        .def(py::init(&makeMergedNode), py::keep_alive<1, 3>(), py::keep_alive<1, 4>())
        .def_property_readonly("id", &NodeBPT::id)
        .def_property_readonly("neighbors", &NodeBPT::neighbors, kRef,
                               "Retorna a lista de ponteiros para nós de regiões vizinhas.")
        .def_property_readonly("ccps", &NodeBPT::ccps, kPixelsDoc)
        .def_property_readonly("metric", &NodeBPT::metric, kPixelsDoc)
        .def_property_readonly("parent", &NodeBPT::parent, kRef, kPixelsDoc)
        .def_property_readonly("children", &childrenOf, kRef, kPixelsDoc)
        .def_property_readonly("top", &NodeBPT::top, "Retorna a coordenada vertical máxima.")
        .def_property_readonly("left", &NodeBPT::left, "Retorna a coordenada horizontal mínima.")
        .def_property_readonly("bottom", &NodeBPT::bottom, "Retorna a coordenada vertical mínima.")
        .def_property_readonly("right", &NodeBPT::right, "Retorna a coordenada horizontal máxima.");
}

}  // namespace vexa::python
