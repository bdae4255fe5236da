#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/shapes/tree_of_shapes.hpp"
#include "python/any_image.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

ShapesPadding paddingOf(const std::string& padding) {
    if (padding == "mean") return ShapesPadding::Mean;
    if (padding == "zero") return ShapesPadding::Zero;
    if (padding == "none") return ShapesPadding::None;
    throw py::value_error("padding must be 'mean', 'zero' or 'none', got '" + padding + "'");
}

py::tuple treeOfShapes(py::array image, const std::string& padding) {
    const ShapesPadding mode = paddingOf(padding);
    const AnyImage view = anyImageOf(image);
    ShapesTreeArrays tree;
    {
        py::gil_scoped_release release;  // the caller keeps the array alive and does not change it
        tree = buildTreeOfShapes(view, int(image.ndim()), mode);
    }
    const py::ssize_t numNodes = py::ssize_t(tree.parents.size());
    py::array altitudes(image.dtype(), std::vector<py::ssize_t>{numNodes});
    if (!tree.altitudes.empty()) std::memcpy(altitudes.mutable_data(), tree.altitudes.data(), tree.altitudes.size());
    std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
    return py::make_tuple(widenedIds(tree.parents.data(), tree.parents.size(), {numNodes}),
                          widenedIds(tree.pixelNode.data(), tree.pixelNode.size(), shape), altitudes);
}

}  // namespace

void bindShapes(py::module_& m) {
    m.def("_tree_of_shapes", &treeOfShapes, py::arg("image"), py::arg("padding"),
          "(parents, pixel_to_node, altitudes) of the tree of shapes of a C-contiguous 2-D or 3-D array: parents "
          "first (int64, -1 for the root), each pixel's smallest shape (int64, the image's shape) and each "
          "shape's level (the image's dtype); padding is 'mean', 'zero' or 'none'.");
}

}  // namespace vexa::python
