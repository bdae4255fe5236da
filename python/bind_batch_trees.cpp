#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/any_tree.hpp"
#include "core/parallel.hpp"
#include "core/subtree_extents.hpp"
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
    if (uint64_t(image.size()) > 0x7FFFFFFFull) throw py::value_error(which + " has more than 2^31 - 1 pixels");
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

// Where one image's tree goes in the forest's arrays.
struct Slot {
    int64_t* parents;
    int64_t* pixelNode;
    int32_t* compact;
    int32_t* area;
    int32_t* extents;
    int64_t offset;
};

// The tree's arrays in its slot: ids local to the image while the per-node
// sums and boxes are taken, then shifted by the slot's offset.
void fill(ComponentTreeArrays& tree, const Grid& grid, const Slot& slot) {
    const size_t nodes = tree.parents.size(), pixels = tree.pixelNode.size();
    widen(tree.parents, slot.parents);
    widen(tree.pixelNode, slot.pixelNode);
    ComponentTreeArrays().parents.swap(tree.parents);  // free as we go
    ComponentTreeArrays().pixelNode.swap(tree.pixelNode);
    std::fill(slot.compact, slot.compact + nodes, 0);
    for (size_t p = 0; p < pixels; ++p) ++slot.compact[slot.pixelNode[p]];
    std::copy(slot.compact, slot.compact + nodes, slot.area);
    for (size_t i = nodes; i-- > 1;) slot.area[slot.parents[i]] += slot.area[i];  // parents before children
    thread_local std::vector<int64_t> boxes;  // reused: fresh memory costs a page fault per page
    boxes.resize(4 * nodes);
    subtreeBoxes(slot.pixelNode, grid, 2, slot.parents, nodes, boxes.data());
    for (size_t i = 0; i < 2 * nodes; ++i) slot.extents[i] = int32_t(boxes[2 * i + 1] - boxes[2 * i] + 1);
    for (size_t i = 0; i < nodes; ++i)
        if (slot.parents[i] >= 0) slot.parents[i] += slot.offset;
    for (size_t p = 0; p < pixels; ++p) slot.pixelNode[p] += slot.offset;
}

// The trees of a list of equally shaped images as one forest, images
// spread over the thread budget, each tree built by one thread: a batch has
// more images than the machine has cores.
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
    std::vector<ComponentTreeArrays> trees(views.size());
    {
        py::gil_scoped_release release;  // `arrays` keeps every image alive
        parallelFor(views.size(), threadBudget(), [&](size_t i) {
            trees[i] = buildComponentTree(views[i], 2, connectivity, maxTree, 1);
        });
    }
    const py::ssize_t count = py::ssize_t(views.size()), height = views[0].grid.height, width = views[0].grid.width;
    py::array_t<int64_t> sizes(count);
    py::ssize_t total = 0;
    for (py::ssize_t i = 0; i < count; ++i) total += (sizes.mutable_data()[i] = py::ssize_t(trees[i].parents.size()));
    py::array_t<int64_t> parents(total), pixelNode({count, height, width});
    py::array_t<int32_t> compact(total), area(total), extents({total, py::ssize_t(2)});
    std::vector<Slot> slots;
    for (py::ssize_t i = 0, offset = 0; i < count; offset += sizes.data()[i++])
        slots.push_back({parents.mutable_data() + offset, pixelNode.mutable_data() + i * height * width,
                         compact.mutable_data() + offset, area.mutable_data() + offset,
                         extents.mutable_data() + 2 * offset, offset});
    {
        py::gil_scoped_release release;
        parallelFor(trees.size(), threadBudget(), [&](size_t i) { fill(trees[i], views[i].grid, slots[i]); });
    }
    return py::make_tuple(parents, pixelNode, sizes, compact, area, extents);
}

}  // namespace

void bindBatchTrees(py::module_& m) {
    m.def("_component_trees", &componentTrees, py::arg("images"), py::arg("connectivity"), py::arg("max_tree"),
          "The component trees of a list of equally shaped C-contiguous 2-D arrays as one forest, built in "
          "parallel without the GIL, one thread per tree: (parents, pixel_to_node (K, H, W), nodes per "
          "tree) as int64 arrays, (compact pixels, area, bounding-box extents (N, 2)) as int32 arrays, node ids of tree k after those of tree k - 1.");
}

}  // namespace vexa::python
