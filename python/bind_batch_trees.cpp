#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/trees/any_tree.hpp"
#include "core/trees/batch_trees.hpp"
#include "python/any_image.hpp"
#include "python/bindings.hpp"
#include "python/owning_array.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

AnyImage viewOf(const py::array& image, size_t index) {
    const std::string which = "images[" + std::to_string(index) + "]";
    if (image.ndim() != 2)
        throw py::value_error(which + " must be 2-D, got " + std::to_string(image.ndim()) + " dimensions");
    if (!(image.flags() & py::array::c_style) || !image.dtype().attr("isnative").cast<bool>())
        throw py::value_error(which + " must be C-contiguous in native byte order");
    if (image.size() == 0) throw py::value_error(which + " is empty");
    if (uint64_t(image.size()) > 0x7FFFFFFFull) throw py::value_error(which + " has more than 2^31 - 1 pixels");
    AnyImage view;
    view.type = pixelTypeOf(image.dtype());
    view.data = image.data();
    view.grid.depth = 1;
    view.grid.height = uint32_t(image.shape(0));
    view.grid.width = uint32_t(image.shape(1));
    return view;
}

// The trees of a list of equally shaped images.
py::tuple componentTrees(const py::list& images, int connectivity, bool maxTree) {
    std::vector<py::array> arrays;
    std::vector<AnyImage> views;
    for (size_t i = 0; i < images.size(); ++i) {
        if (!py::isinstance<py::array>(images[i]))
            throw py::type_error("images[" + std::to_string(i) + "] must be a numpy array, got " + typeName(images[i]));
        arrays.push_back(images[i].cast<py::array>());
        views.push_back(viewOf(arrays.back(), i));
        if (views.back().grid.height != views[0].grid.height || views.back().grid.width != views[0].grid.width)
            throw py::value_error("images[" + std::to_string(i) + "] differs in shape from images[0]");
    }
    if (views.empty()) throw py::value_error("images is empty");
    if (connectivity < 1 || connectivity > 2)
        throw py::value_error("connectivity must be 1 or 2, got " + std::to_string(connectivity));
    std::vector<WideTree> trees;
    {
        py::gil_scoped_release release;  // `arrays` keeps every image alive
        trees = buildWideTrees(views, 2, connectivity, maxTree);
    }
    const std::vector<py::ssize_t> shape{py::ssize_t(views[0].grid.height), py::ssize_t(views[0].grid.width)};
    py::list parents, pixelNodes;
    for (WideTree& tree : trees) {
        const py::ssize_t nodes = py::ssize_t(tree.parents.size());
        parents.append(owningArray(std::move(tree.parents), {nodes}));
        pixelNodes.append(owningArray(std::move(tree.pixelNode), shape));
    }
    return py::make_tuple(parents, pixelNodes);
}

}  // namespace

void bindBatchTrees(py::module_& m) {
    m.def("_component_trees", &componentTrees, py::arg("images"), py::arg("connectivity"), py::arg("max_tree"),
          "The component trees of a list of equally shaped C-contiguous 2-D arrays (H, W), built in parallel "
          "without the GIL, one thread per tree: (parents, pixel_to_node), two lists of int64 arrays, (N_k) and "
          "(H, W) for tree k; -1 for the root, node 0, and every parent before its children.");
}

}  // namespace vexa::python
