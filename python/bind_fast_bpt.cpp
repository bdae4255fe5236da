#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "bpt/fast_partition_tree.hpp"
#include "bpt/partition_cut.hpp"
#include "python/bindings.hpp"
#include "python/owning_array.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

using Int64Array = py::array_t<int64_t, py::array::c_style>;

// values: float64 (spatial..., channels); labels: None or uint32 of the
// spatial shape. Returns (parents, altitudes, leaf of each pixel or None).
py::tuple buildTree(py::array_t<double, py::array::c_style> values, py::object labels, const std::string& linkage,
                    int connectivity) {
    PartitionInput in;
    in.linkage = parseLinkage(linkage);
    in.connectivity = connectivity;
    const int ndim = int(values.ndim()) - 1;
    if (ndim != 2 && ndim != 3)
        throw std::invalid_argument(
            "values must have shape (rows, cols, channels) or (planes, rows, cols, "
            "channels), got " +
            std::to_string(values.ndim()) + " dimensions");
    in.ndim = ndim;
    uint32_t* sizes[3] = {&in.grid.depth, &in.grid.height, &in.grid.width};
    std::vector<py::ssize_t> spatial;
    for (int d = 0; d < ndim; ++d) {
        if (values.shape(d) >= (py::ssize_t(1) << 31)) throw std::invalid_argument("image too large");
        *sizes[3 - ndim + d] = uint32_t(values.shape(d));
        spatial.push_back(values.shape(d));
    }
    in.channels = uint32_t(values.shape(ndim));
    in.values = values.data();
    py::array_t<uint32_t, py::array::c_style> labelArray;
    if (!labels.is_none()) {
        labelArray = labels.cast<py::array_t<uint32_t, py::array::c_style>>();
        if (labelArray.ndim() != ndim || !std::equal(spatial.begin(), spatial.end(), labelArray.shape()))
            throw std::invalid_argument("labels must have the image's spatial shape");
        in.labels = labelArray.data();
    }
    PartitionTree tree;
    {
        py::gil_scoped_release unlocked;  // reads only the arrays held above
        tree = buildPartitionTree(in);
    }
    const py::ssize_t nodes = py::ssize_t(tree.parents.size());
    py::object leafOf = py::none();
    if (in.labels) leafOf = owningArray(std::move(tree.leafOf), spatial);
    return py::make_tuple(owningArray(std::move(tree.parents), {nodes}),
                          owningArray(std::move(tree.altitudes), {nodes}), leafOf);
}

std::vector<py::ssize_t> shapeOf(const py::array& a) { return {a.shape(), a.shape() + a.ndim()}; }

Span<int64_t> span(const Int64Array& a) { return {a.data(), size_t(a.size())}; }

py::array_t<int32_t> cutRegionsArray(Int64Array parents, Int64Array pixelToLeaf, int64_t regions) {
    std::vector<int32_t> labels;
    {
        py::gil_scoped_release unlocked;
        labels = cutRegions(span(parents), span(pixelToLeaf), regions);
    }
    return owningArray(std::move(labels), shapeOf(pixelToLeaf));
}

py::array_t<int32_t> cutAtArray(Int64Array parents, Int64Array pixelToLeaf,
                                py::array_t<double, py::array::c_style> altitudes, double threshold) {
    std::vector<int32_t> labels;
    {
        py::gil_scoped_release unlocked;
        labels = cutAt(span(parents), span(pixelToLeaf), {altitudes.data(), size_t(altitudes.size())}, threshold);
    }
    return owningArray(std::move(labels), shapeOf(pixelToLeaf));
}

}  // namespace

void bindFastPartitionTree(py::module_& m) {
    m.def("_binary_partition_tree", &buildTree, py::arg("values"), py::arg("labels"), py::arg("linkage"),
          py::arg("connectivity"),
          "Binary partition tree by region merging: (parents int64, altitudes float64, leaf of each pixel "
          "(uint32, or None when leaves are pixels)). values: float64 (spatial..., channels).");
    m.def("_partition_cut", &cutRegionsArray, py::arg("parents"), py::arg("pixel_to_leaf"), py::arg("regions"),
          "Label map (int32) of the partition left after the first merges of a binary partition tree whose "
          "parent array lists children first; regions numbered by first pixel.");
    m.def("_partition_cut_at", &cutAtArray, py::arg("parents"), py::arg("pixel_to_leaf"), py::arg("altitudes"),
          py::arg("threshold"),
          "Label map (int32) where the merges at altitude at most threshold are made (a merge counts at the "
          "greatest altitude of its subtree).");
}

}  // namespace vexa::python
