#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>

#include "core/trees/parent_array.hpp"
#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"
#include "python/node_references.hpp"
#include "python/numpy_image.hpp"
#include "python/owning_array.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

NodeRef<Node> rootOf(MorphologicalTree& tree) {
    return {tree.rootId() == kNoNode ? nullptr : &tree.node(tree.rootId())};
}

ListResult<std::vector<NodeRef<Node>>> allNodes(MorphologicalTree& tree) {
    std::vector<NodeRef<Node>> nodes;
    nodes.reserve(tree.numNodes());
    const py::handle owner = treeObject(tree);
    for (NodeId id = 0; id < tree.numNodes(); ++id) nodes.push_back({&tree.node(id), owner});
    return asList(std::move(nodes));
}

ListResult<std::vector<NodeRef<Node>>> nodesById(MorphologicalTree& tree, const std::vector<int32_t>& ids) {
    std::vector<NodeRef<Node>> nodes;
    nodes.reserve(ids.size());
    const py::handle owner = treeObject(tree);
    for (int32_t id : ids) {
        if (uint32_t(id) >= tree.numNodes()) throw std::out_of_range("map::at");
        nodes.push_back({&tree.node(uint32_t(id)), owner});
    }
    return asList(std::move(nodes));
}

ListResult<Span<uint32_t>> pixelMap(const MorphologicalTree& tree) {
    const auto& map = tree.pixelToNodeId();
    return asList(Span<uint32_t>(map.data(), map.size()));
}

// Pickled as (version, image, radius, parents, boxes): the image (each
// pixel's node level) and the radius rebuild the tree; parents is None unless
// Python rewrote parent links, boxes are kept because attribute extraction
// widens them.
constexpr int kTreeStateVersion = 1;

py::tuple treeState(const MorphologicalTree& tree) {
    const auto& pixelNode = tree.pixelToNodeId();
    std::vector<uint8_t> image(pixelNode.size());
    for (size_t p = 0; p < image.size(); ++p) image[p] = tree.level(pixelNode[p]);
    const py::ssize_t n = py::ssize_t(tree.numNodes());
    py::object parents = py::none();
    if (tree.parentLinksRewritten()) {
        std::vector<int64_t> ids(tree.parents().size());
        for (size_t i = 0; i < ids.size(); ++i) {
            const NodeId p = tree.parent(NodeId(i));
            ids[i] = p == kNoNode ? int64_t(-1) : int64_t(p);
        }
        parents = owningArray(std::move(ids), {n});
    }
    std::vector<uint32_t> boxes;
    boxes.reserve(size_t(n) * 4);
    for (NodeId id = 0; id < tree.numNodes(); ++id) {
        const Box& b = tree.box(id);
        boxes.insert(boxes.end(), {b.top, b.left, b.bottom, b.right});
    }
    return py::make_tuple(kTreeStateVersion,
                          owningArray(std::move(image), {py::ssize_t(tree.numRows()), py::ssize_t(tree.numCols())}),
                          tree.adjacencyRadius(), parents, owningArray(std::move(boxes), {n, 4}));
}

template <typename Tree>
Tree* treeFromState(const py::tuple& state) {
    if (state.size() != 5 || !py::isinstance<py::int_>(state[0]) || state[0].cast<int>() != kTreeStateVersion)
        throw py::value_error(
            "tree state must be (1, image, radius, parents or None, boxes), as __getstate__ "
            "gives.");
    if (!py::isinstance<py::array>(state[1]))
        throw py::value_error("tree state: the image must be a uint8 numpy array, got " + typeName(state[1]) + ".");
    const py::object radius = state[2];
    if (py::isinstance<py::bool_>(radius) || !(py::isinstance<py::float_>(radius) || py::isinstance<py::int_>(radius)))
        throw py::value_error("tree state: the radius must be a number, got " + typeName(radius) + ".");
    for (size_t k : {3, 4})
        if (!py::isinstance<py::array>(state[k]) && !(k == 3 && state[k].is_none()))
            throw py::value_error(std::string("tree state: ") + (k == 3 ? "parents must be None or" : "boxes must be") +
                                  " a numpy array of integers, got " + typeName(state[k]) + ".");
    std::unique_ptr<Tree> tree;
    {
        TreeImage pixels(state[1]);
        tree = std::make_unique<Tree>(pixels.view(), state[2].cast<float>());
    }
    const size_t n = tree->numNodes();
    std::vector<NodeId> parents;
    if (!state[3].is_none()) {
        const auto ids = state[3].cast<py::array_t<int64_t, py::array::c_style | py::array::forcecast>>();
        if (ids.ndim() != 1 || size_t(ids.size()) != n)
            throw py::value_error("tree state: parents must hold one id per node (" + std::to_string(n) + ").");
        parents = nodeIdsOf(ids.data(), n);
    }
    const auto boxes = state[4].cast<py::array_t<uint32_t, py::array::c_style | py::array::forcecast>>();
    if (boxes.ndim() != 2 || size_t(boxes.shape(0)) != n || boxes.shape(1) != 4)
        throw py::value_error("tree state: boxes must have shape (" + std::to_string(n) + ", 4).");
    const uint32_t* b = boxes.data();
    for (size_t i = 0; i < n; ++i, b += 4)
        if (b[0] > b[2] || b[1] > b[3] || b[2] >= tree->numRows() || b[3] >= tree->numCols())
            throw py::value_error("tree state: the box of node " + std::to_string(i) + " is not within the image.");
    // Checked: now the tree takes the links and boxes.
    if (!parents.empty())
        for (NodeId id = 0; id < n; ++id) tree->setParent(id, parents[id]);
    b = boxes.data();
    for (NodeId id = 0; id < n; ++id, b += 4) tree->box(id) = Box{b[0], b[1], b[2], b[3]};
    return tree.release();
}

// Members shared by MaxTree and MinTree; only the per-pixel property's name differs.
template <typename Tree>
void defineTreeClass(py::class_<Tree, MorphologicalTree>& cls, const char* pixelMapName) {
    cls.def(py::init([](py::array image, float radius) {
           TreeImage pixels(image);
           return new Tree(pixels.view(), radius);
       }))
        .def_property_readonly("root", &rootOf, "Ponteiro para o nó raiz da árvore.")
        .def_property_readonly("nodes", &allNodes, kNodeListDoc)
        .def_property_readonly("adjacency_radius", &MorphologicalTree::adjacencyRadius, kRadiusDoc)
        .def(py::pickle([](const Tree& tree) { return treeState(tree); }, &treeFromState<Tree>));
    bindTreeTensors(cls);
    cls.def_property_readonly(
           pixelMapName, [](const Tree& tree) { return pixelMap(tree); }, kRadiusDoc)
        .def("getNodesById", &nodesById, kNodeListDoc);
    bindTreeRecords(cls);
    bindTreeArrays(cls);
    guardInstances<Tree>();
}

}  // namespace

void bindTrees(py::module_& m) {
    py::class_<MorphologicalTree>(m, "MorphologicalTree")
        .def(py::init([](py::object image, float radius, LevelComparator comparator) {
            TreeImage pixels(image);
            return new MorphologicalTree(pixels.view(), radius, comparator);
        }));
    guardInstances<MorphologicalTree>();
    MaxTreeClass maxTree(m, "MaxTree");
    defineTreeClass(maxTree, "small_components");
    MinTreeClass minTree(m, "MinTree");
    defineTreeClass(minTree, "small_component");
}

}  // namespace vexa::python
