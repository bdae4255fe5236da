#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/any_tree.hpp"
#include "core/batch_trees.hpp"
#include "python/any_image.hpp"
#include "python/bindings.hpp"

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

// The trees of a list of equally shaped images as one forest.
py::tuple componentTrees(const py::list& images, int connectivity, bool maxTree) {
    std::vector<py::array> arrays;
    std::vector<AnyImage> views;
    for (size_t i = 0; i < images.size(); ++i) {
        if (!py::isinstance<py::array>(images[i]))
            throw py::type_error("images[" + std::to_string(i) + "] must be a numpy array, got " +
                                 std::string(py::str(py::type::of(images[i]).attr("__name__"))));
        arrays.push_back(images[i].cast<py::array>());
        views.push_back(viewOf(arrays.back(), i));
        if (views.back().grid.height != views[0].grid.height || views.back().grid.width != views[0].grid.width)
            throw py::value_error("images[" + std::to_string(i) + "] differs in shape from images[0]");
    }
    if (views.empty()) throw py::value_error("images is empty");
    if (connectivity < 1 || connectivity > 2)
        throw py::value_error("connectivity must be 1 or 2, got " + std::to_string(connectivity));
    const py::ssize_t count = py::ssize_t(views.size()), height = views[0].grid.height, width = views[0].grid.width;
    const py::ssize_t capacity = count * height * width;
    // Pages never written are never mapped: the capacity beyond the nodes costs nothing.
    py::array_t<int64_t> parents(capacity), pixelNode({count, height, width}), sizes(count);
    py::array_t<int32_t> compact(capacity), area(capacity), extents({capacity, py::ssize_t(2)});
    const TreeSlots slots{parents.mutable_data(), pixelNode.mutable_data(), compact.mutable_data(),
                          area.mutable_data(), extents.mutable_data(), size_t(height * width)};
    int64_t* nodes = sizes.mutable_data();
    {
        py::gil_scoped_release release;  // `arrays` keeps every image alive
        buildTreesIntoSlots(views, connectivity, maxTree, slots, nodes);
    }
    return py::make_tuple(parents, pixelNode, sizes, compact, area, extents);
}

}  // namespace

void bindBatchTrees(py::module_& m) {
    m.def("_component_trees", &componentTrees, py::arg("images"), py::arg("connectivity"), py::arg("max_tree"),
          "The component trees of a list of K equally shaped C-contiguous 2-D arrays (H, W), "
          "built in parallel without the GIL, one thread per tree: (parents, pixel_to_node (K, H, W), nodes per "
          "tree) as int64 arrays and (compact pixels, area, bounding-box extents (., 2)) as int32 arrays, the "
          "per-node ones in slots of H * W entries, tree k's n_k nodes first in slot k; ids local to each image.");
}

}  // namespace vexa::python
