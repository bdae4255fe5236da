#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "bpt/binary_partition_tree.hpp"
#include "bpt/dissimilarity.hpp"
#include "bpt/node_bpt.hpp"
#include "bpt/partition_cut.hpp"
#include "core/geometry/image_view.hpp"
#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"
#include "python/node_references.hpp"
#include "python/numpy_image.hpp"
#include "python/owning_array.hpp"
#include "python/torch_casters.hpp"
#include "tensors/tree_arrays.hpp"

namespace vexa::python {
// Marks the merged-node constructor: the new node keeps its two children
// alive through one tuple. Releasing a long chain of such nodes then goes
// through tuples, which Python releases without deep recursion.
struct KeepChildrenAlive {};
}  // namespace vexa::python

namespace pybind11::detail {
template <>
struct process_attribute<vexa::python::KeepChildrenAlive> : process_attribute_default<vexa::python::KeepChildrenAlive> {
    // Arguments of a constructor: the instance slot, the id, the two children, ...
    static void postcall(function_call& call, handle) {
        keep_alive_impl(call.init_self, make_tuple(call.args[2], call.args[3]));
    }
};
}  // namespace pybind11::detail

namespace py = pybind11;

namespace vexa::python {

namespace {

// Nodes of one tree (a node and its neighbours are).
ListResult<std::vector<NodeRef<NodeBPT>>> asNodeList(const std::vector<NodeBPT*>& nodes) {
    std::vector<NodeRef<NodeBPT>> refs;
    refs.reserve(nodes.size());
    const BinaryPartitionTree* tree = nodes.empty() ? nullptr : nodes[0]->tree();
    const py::handle owner = tree ? treeObject(*tree) : py::handle();
    for (NodeBPT* node : nodes) refs.push_back({node, owner});
    return asList(std::move(refs));
}

// Checks in this order: the measure (before either array is read), the label
// map's buffer, the image's buffer, the image's element type, then the
// shapes and the label range.
BinaryPartitionTree* makeTree(py::array image, py::array labels, DissimilarityType type) {
    checkDissimilarityType(type);
    BufferView labelBuffer(labels);
    BufferView imageBuffer(image);
    if (std::strcmp(imageBuffer.format(), "B") != 0) throw std::runtime_error("Images must be of type uint8_t.");
    if (imageBuffer.ndim() != 2) throw std::runtime_error("Image must be 2D (height x width).");
    if (labelBuffer.ndim() != 2) throw std::runtime_error("Label map must be 2D (height x width).");
    bool swapLabelBytes = false;
    if (!isInt32Format(labelBuffer.format(), labelBuffer.itemSize(), swapLabelBytes))
        throw std::runtime_error("Label map must be of type int32 or uint32.");
    const uint64_t rows = labelBuffer.dim(0), cols = labelBuffer.dim(1);
    if (imageBuffer.dim(0) != rows || imageBuffer.dim(1) != cols) throw std::runtime_error(kShapeMismatchMessage);
    if (rows * cols == 0) throw std::runtime_error(kEmptyImageMessage);
    checkImageSize(rows, cols);

    // The labels are read by several passes, so they are copied first (4
    // bytes per pixel); the image is read once.
    const ImageView imageView{static_cast<const uint8_t*>(imageBuffer.dense2D()), uint32_t(rows), uint32_t(cols)};
    const LabelView labelView{static_cast<const uint32_t*>(labelBuffer.copy2D(swapLabelBytes)), uint32_t(rows),
                              uint32_t(cols)};
    return new BinaryPartitionTree(imageView, labelView, type);
}

NodeBPT* makeMergedNode(int32_t id, NodeBPT* first, NodeBPT* second, uint8_t, float metric) {
    if (!first || !second) throw std::runtime_error("NodeBPT needs two child nodes, not None.");
    return new NodeBPT(id, *first, *second, metric);
}

// Label map of the `regions` regions left after the first merges.
py::array_t<int32_t> cutAfterMerges(const BinaryPartitionTree& tree, int64_t regions) {
    std::vector<int32_t> labels;
    {
        py::gil_scoped_release unlocked;  // the tree never changes after construction
        const at::Tensor parents = tensors::parentIndices(tree);
        const at::Tensor leaves = tensors::pixelLeafIndices(tree);
        labels = cutRegions({parents.data_ptr<int64_t>(), size_t(parents.numel())},
                            {leaves.data_ptr<int64_t>(), size_t(leaves.numel())}, regions);
    }
    return owningArray(std::move(labels), {py::ssize_t(tree.numRows()), py::ssize_t(tree.numCols())});
}

// The dissimilarity at which each merged node was made, in node order: the
// measure of its two children, which is the key it was taken from the queue by.
py::array_t<float> mergeLevels(const BinaryPartitionTree& tree) {
    std::vector<float> levels;
    for (size_t k = 0; k < tree.numNodes(); ++k) {
        const NodeBPT& node = tree.node(k);
        if (!node.isLeaf()) levels.push_back(tree.processor().dissimilarity(*node.first(), *node.second()));
    }
    const py::ssize_t count = py::ssize_t(levels.size());
    return owningArray(std::move(levels), {count});
}

// Pickled as what the constructor takes: the image, the label map (each
// leaf's id over its pixels) and the measure.
constexpr int kBptStateVersion = 1;

py::tuple bptState(const BinaryPartitionTree& tree) {
    const std::vector<py::ssize_t> shape{py::ssize_t(tree.numRows()), py::ssize_t(tree.numCols())};
    const Span<uint8_t> image = tree.image();
    std::vector<uint32_t> labels(image.size());
    for (size_t k = 0; k < tree.numNodes(); ++k)
        for (uint32_t p : tree.node(k).leafPixels()) labels[p] = tree.node(k).id();
    return py::make_tuple(kBptStateVersion, py::array_t<uint8_t>(shape, image.data()),
                          owningArray(std::move(labels), shape), tree.type());
}

BinaryPartitionTree* bptFromState(const py::tuple& state) {
    if (state.size() != 4 || !py::isinstance<py::int_>(state[0]) || state[0].cast<int>() != kBptStateVersion)
        throw py::value_error("BPT state must be (1, image, labels, DissimilarityType), as __getstate__ gives.");
    for (size_t k : {1, 2})
        if (!py::isinstance<py::array>(state[k]))
            throw py::value_error(std::string("BPT state: the ") + (k == 1 ? "image" : "label map") +
                                  " must be a numpy array, got " + typeName(state[k]) + ".");
    if (!py::isinstance<DissimilarityType>(state[3]))
        throw py::value_error("BPT state: the measure must be a DissimilarityType, got " + typeName(state[3]) + ".");
    return makeTree(state[1].cast<py::array>(), state[2].cast<py::array>(), state[3].cast<DissimilarityType>());
}

Checked<std::pair<NodeRef<NodeBPT>, NodeRef<NodeBPT>>> childrenOf(const NodeBPT& node) {
    return {{{node.first()}, {node.second()}}};
}

}  // namespace

void bindPartitionTree(py::module_& m) {
    py::enum_<DissimilarityType>(m, "DissimilarityType").value("Mean", DissimilarityType::Mean).export_values();

    py::class_<BinaryPartitionTree>(m, "BPT")
        .def(py::init(&makeTree))
        .def_property_readonly(
            "root", [](BinaryPartitionTree& tree) { return NodeRef<NodeBPT>{tree.root()}; }, kNodeListDoc)
        .def_property_readonly(
            "nodes", [](BinaryPartitionTree& tree) { return asNodeList(tree.nodes()); }, kNodeListDoc)
        // Flat arrays for the tree sums of vexa.ops.
        .def_property_readonly(
            "parents", [](const BinaryPartitionTree& tree) { return TorchTensor{tensors::parentIndices(tree)}; },
            "Posição do pai de cada nó na lista nodes (int64, -1 para a raiz), na ordem de nodes.")
        .def_property_readonly(
            "pixel_to_node",
            [](const BinaryPartitionTree& tree) { return TorchTensor{tensors::pixelLeafIndices(tree)}; },
            "Posição na lista nodes da folha que contém cada pixel (int64), com a forma da imagem.")
        .def("cut", &cutAfterMerges, py::arg("k"),
             "Label map (int32, the image's shape) of the k regions left after the first merges, numbered "
             "0..k-1 in the order of their first pixel (row-major). k runs from the number of regions left "
             "at the end (1 when everything merged) to the number of leaves.")
        .def_property_readonly("merge_levels", &mergeLevels,
                               "Dissimilarity of the two regions at each merge (float32, one per merged node, in "
                               "node order): |first.metric - second.metric| for the Mean measure. Not monotonic: "
                               "a merge may come at a lower level than an earlier one.")
        .def(py::pickle(&bptState, &bptFromState));
    guardInstances<DissimilarityType>();
    guardInstances<BinaryPartitionTree>();
}

void bindNodeBpt(py::module_& m) {
    constexpr const char* kPixelsDoc = "Retorna a lista de pixels do componente conexo do nó.";

    py::class_<NodeBPT>(m, "NodeBPT")
        .def(py::init([](int32_t id, Pixel pixel) { return new NodeBPT(id, pixel); }))
        .def(py::init(&makeMergedNode), KeepChildrenAlive())
        .def_property_readonly("id", &NodeBPT::id)
        .def_property_readonly(
            "neighbors", [](const NodeBPT& node) { return asNodeList(node.neighbors()); },
            "Retorna a lista de ponteiros para nós de regiões vizinhas.")
        .def_property_readonly(
            "ccps", [](const NodeBPT& node) { return asList(node.ccps()); }, kPixelsDoc)
        .def_property_readonly("metric", &NodeBPT::metric, kPixelsDoc)
        .def_property_readonly(
            "parent", [](const NodeBPT& node) { return NodeRef<NodeBPT>{node.parent()}; }, kPixelsDoc)
        .def_property_readonly("children", &childrenOf, kPixelsDoc)
        .def_property_readonly("top", &NodeBPT::top, "Retorna a coordenada vertical máxima.")
        .def_property_readonly("left", &NodeBPT::left, "Retorna a coordenada horizontal mínima.")
        .def_property_readonly("bottom", &NodeBPT::bottom, "Retorna a coordenada vertical mínima.")
        .def_property_readonly("right", &NodeBPT::right, "Retorna a coordenada horizontal máxima.");
    guardInstances<NodeBPT>();
}

}  // namespace vexa::python
