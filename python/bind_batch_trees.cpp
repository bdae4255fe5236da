#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/any_tree.hpp"
#include "core/parallel.hpp"
#include "core/threads.hpp"
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
    if (uint64_t(image.size()) >= 0xFFFFFFFFull) throw py::value_error(which + " has too many pixels");
    AnyImage view;
    view.type = pixelTypeOf(image.dtype());
    view.data = image.data();
    view.grid.depth = 1;
    view.grid.height = uint32_t(image.shape(0));
    view.grid.width = uint32_t(image.shape(1));
    return view;
}

void widen(const std::vector<uint32_t>& ids, int64_t* to) {
    for (size_t i = 0; i < ids.size(); ++i)
        to[i] = ids[i] == ComponentTreeArrays::kNoParent ? -1 : int64_t(ids[i]);
}

// One tree per image, images spread over the thread budget, each tree built
// by one thread: a batch has more images than the machine has cores.
py::list componentTrees(const py::list& images, int connectivity, bool maxTree) {
    std::vector<py::array> arrays;
    std::vector<AnyImage> views;
    for (size_t i = 0; i < images.size(); ++i) {
        if (!py::isinstance<py::array>(images[i]))
            throw py::type_error("images[" + std::to_string(i) + "] must be a numpy array, got " +
                                 std::string(py::str(py::type::of(images[i]).attr("__name__"))));
        arrays.push_back(images[i].cast<py::array>());
        views.push_back(viewOf(arrays.back(), i));
    }
    if (connectivity < 1 || connectivity > 2)
        throw py::value_error("connectivity must be 1 or 2, got " + std::to_string(connectivity));
    std::vector<ComponentTreeArrays> trees(views.size());
    {
        py::gil_scoped_release release;  // `arrays` keeps every image alive
        parallelFor(views.size(), threadBudget(), [&](size_t i) {
            trees[i] = buildComponentTree(views[i], 2, connectivity, maxTree, 1);
        });
    }
    std::vector<py::array_t<int64_t>> out;
    for (size_t i = 0; i < trees.size(); ++i) {
        const py::ssize_t nodes = py::ssize_t(trees[i].parents.size());
        out.emplace_back(std::vector<py::ssize_t>{nodes});
        out.emplace_back(std::vector<py::ssize_t>{arrays[i].shape(0), arrays[i].shape(1)});
        out.emplace_back(std::vector<py::ssize_t>{nodes});
    }
    std::vector<int64_t*> targets;
    for (auto& array : out) targets.push_back(array.mutable_data());
    {
        py::gil_scoped_release release;
        parallelFor(trees.size(), threadBudget(), [&](size_t i) {
            widen(trees[i].parents, targets[3 * i]);
            widen(trees[i].pixelNode, targets[3 * i + 1]);
            widen(trees[i].levelPixel, targets[3 * i + 2]);
            ComponentTreeArrays().parents.swap(trees[i].parents);  // free as we go
        });
    }
    py::list result;
    for (size_t i = 0; i < trees.size(); ++i) result.append(py::make_tuple(out[3 * i], out[3 * i + 1], out[3 * i + 2]));
    return result;
}

}  // namespace

void bindBatchTrees(py::module_& m) {
    m.def("_component_trees", &componentTrees, py::arg("images"), py::arg("connectivity"), py::arg("max_tree"),
          "[(parents, pixel_to_node, level_pixel)] of the component tree of every C-contiguous 2-D array in a "
          "list, built in parallel without the GIL, one thread per tree.");
}

}  // namespace vexa::python
