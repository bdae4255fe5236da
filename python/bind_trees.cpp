#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>

#include "python/bindings.hpp"
#include "python/instances.hpp"
#include "python/list_results.hpp"
#include "python/node_references.hpp"
#include "python/numpy_image.hpp"

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
    const std::vector<uint32_t>& map = tree.pixelToNodeId();
    return asList(Span<uint32_t>(map.data(), map.size()));
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
        .def_property_readonly("adjacency_radius", &MorphologicalTree::adjacencyRadius, kRadiusDoc);
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
