#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "bpt/edge_saliency.hpp"
#include "bpt/watershed_hierarchy.hpp"
#include "core/runtime/reused_memory.hpp"
#include "python/any_image.hpp"
#include "python/bindings.hpp"
#include "python/owning_array.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

using Int64Array = py::array_t<int64_t, py::array::c_style>;
using DoubleArray = py::array_t<double, py::array::c_style>;

// The tree's arrays for numpy, made without the lock: memory handed back
// by arrays dropped earlier is written again rather than fresh pages.
py::tuple flat(const MergeTree& tree) {
    const py::ssize_t n = py::ssize_t(tree.numNodes());
    ReusedVector<int64_t> parents(n);
    ReusedVector<double> altitudes(n);
    {
        py::gil_scoped_release unlocked;
        flatten(tree, parents.data(), altitudes.data());
    }
    return py::make_tuple(owningArray(std::move(parents), {n}), owningArray(std::move(altitudes), {n}));
}

// image -> (parents, altitudes) of the watershed hierarchy.
py::tuple watershed(const py::array& image, int connectivity, const std::string& edgeWeight,
                    const std::string& attribute) {
    const AnyImage view = anyImageOf(image);
    const EdgeWeight weight = parseEdgeWeight(edgeWeight);
    const BasinAttribute kind = parseBasinAttribute(attribute);
    MergeTree result;
    {
        py::gil_scoped_release unlocked;  // the caller's reference keeps the image alive
        const MergeTree bpt = altitudeOrderingTree(view, int(image.ndim()), connectivity, weight);
        const std::vector<double> values = basinAttribute(bpt, kind);
        result = watershedFromAttribute(bpt, values.data());
    }
    return flat(result);
}

// image -> (parents, altitudes, ends (merges, 2) uint32) of the tree by
// altitude ordering.
py::tuple altitudeOrdering(const py::array& image, int connectivity, const std::string& edgeWeight) {
    const AnyImage view = anyImageOf(image);
    const EdgeWeight weight = parseEdgeWeight(edgeWeight);
    MergeTree bpt;
    {
        py::gil_scoped_release unlocked;
        bpt = altitudeOrderingTree(view, int(image.ndim()), connectivity, weight);
    }
    const py::ssize_t merges = py::ssize_t(bpt.numLeaves) - 1;
    py::tuple arrays = flat(bpt);
    return py::make_tuple(arrays[0], arrays[1], owningArray(std::move(bpt.ends), {merges, 2}));
}

py::tuple fromAttribute(const Int64Array& parents, const DoubleArray& altitudes,
                        const py::array_t<uint32_t, py::array::c_style>& ends, const DoubleArray& attribute) {
    const size_t n = size_t(parents.size());
    if (parents.ndim() != 1 || altitudes.ndim() != 1 || size_t(altitudes.size()) != n || attribute.ndim() != 1 ||
        size_t(attribute.size()) != n || n % 2 == 0 || size_t(ends.size()) != n - 1)
        throw py::value_error("expected parents, altitudes and attribute of one shape (2 L - 1,) and ends (L - 1, 2)");
    MergeTree result;
    {
        py::gil_scoped_release unlocked;
        const MergeTree bpt = mergeTreeOf(parents.data(), altitudes.data(), ends.data(), n, (n + 1) / 2);
        result = watershedFromAttribute(bpt, attribute.data());
    }
    return flat(result);
}

Grid gridOf(const Int64Array& pixelToNode) {
    const int ndim = int(pixelToNode.ndim());
    if (ndim < 2 || ndim > 3) throw py::value_error("pixel_to_node must be 2-D or 3-D");
    Grid grid;
    grid.depth = ndim == 3 ? uint32_t(pixelToNode.shape(0)) : 1;
    grid.height = uint32_t(pixelToNode.shape(ndim - 2));
    grid.width = uint32_t(pixelToNode.shape(ndim - 1));
    return grid;
}

void checkTreeArrays(const Int64Array& parents, const DoubleArray& altitudes) {
    if (parents.ndim() != 1 || altitudes.ndim() != 1 || altitudes.size() != parents.size())
        throw py::value_error("parents and altitudes must be one-dimensional, one entry per node");
}

py::tuple edgeSaliency(const Int64Array& parents, const Int64Array& pixelToNode, const DoubleArray& altitudes) {
    checkTreeArrays(parents, altitudes);
    const Grid grid = gridOf(pixelToNode);
    const int ndim = int(pixelToNode.ndim());
    std::vector<ReusedVector<double>> values;
    {
        py::gil_scoped_release unlocked;
        const CheckedTree tree(parents.data(), size_t(parents.size()));
        values = gridEdgeSaliency(tree, pixelToNode.data(), altitudes.data(), grid, ndim);
    }
    py::tuple out(ndim);
    for (int a = 0; a < ndim; ++a) {
        std::vector<py::ssize_t> shape(pixelToNode.shape(), pixelToNode.shape() + ndim);
        shape[a] -= 1;
        out[a] = owningArray(std::move(values[a]), shape);
    }
    return out;
}

py::array_t<double> khalimsky(const Int64Array& parents, const Int64Array& pixelToNode, const DoubleArray& altitudes) {
    checkTreeArrays(parents, altitudes);
    if (pixelToNode.ndim() != 2) throw py::value_error("pixel_to_node must be 2-D");
    const Grid grid = gridOf(pixelToNode);
    ReusedVector<double> values;
    {
        py::gil_scoped_release unlocked;
        const CheckedTree tree(parents.data(), size_t(parents.size()));
        values = khalimskySaliency(tree, pixelToNode.data(), altitudes.data(), grid);
    }
    return owningArray(std::move(values), {2 * py::ssize_t(grid.height) - 1, 2 * py::ssize_t(grid.width) - 1});
}

}  // namespace

void bindWatershed(py::module_& m) {
    m.def("_watershed_hierarchy", &watershed, py::arg("image"), py::arg("connectivity"), py::arg("edge_weight"),
          py::arg("attribute"),
          "Watershed hierarchy by 'area', 'volume' or 'dynamics' of a 2-D or 3-D image: (parents int64, altitudes "
          "float64), pixels first, then the merges.");
    m.def("_altitude_ordering_tree", &altitudeOrdering, py::arg("image"), py::arg("connectivity"),
          py::arg("edge_weight"),
          "Binary partition tree by altitude ordering of the image's pixel graph: (parents int64, altitudes "
          "float64, the pixel pair of each merge (merges, 2) uint32).");
    m.def("_watershed_from_attribute", &fromAttribute, py::arg("parents"), py::arg("altitudes"), py::arg("ends"),
          py::arg("attribute"),
          "Watershed hierarchy of a tree by altitude ordering for per-node attribute values: (parents, altitudes).");
    m.def("_edge_saliency", &edgeSaliency, py::arg("parents"), py::arg("pixel_to_node"), py::arg("altitudes"),
          "Per axis, the altitude (float64) of the lowest common ancestor of the nodes of every two pixels one step "
          "apart along it.");
    m.def("_khalimsky_saliency", &khalimsky, py::arg("parents"), py::arg("pixel_to_node"), py::arg("altitudes"),
          "The saliency of a tree on a 2-D image on the Khalimsky grid (2H - 1, 2W - 1), float64.");
}

}  // namespace vexa::python
