#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/parallel.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/runtime/threads.hpp"
#include "core/trees/any_tree.hpp"
#include "core/trees/graph_component_tree.hpp"
#include "core/trees/subtree_extents.hpp"
#include "python/any_image.hpp"
#include "python/bindings.hpp"
#include "python/owning_array.hpp"

namespace py = pybind11;

namespace vexa::python {

PixelType pixelTypeOf(const py::dtype& dtype) {
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'b') return PixelType::Bool;
    if (kind == 'u' && size == 1) return PixelType::UInt8;
    if (kind == 'i' && size == 1) return PixelType::Int8;
    if (kind == 'u' && size == 2) return PixelType::UInt16;
    if (kind == 'i' && size == 2) return PixelType::Int16;
    if (kind == 'u' && size == 4) return PixelType::UInt32;
    if (kind == 'i' && size == 4) return PixelType::Int32;
    if (kind == 'i' && size == 8) return PixelType::Int64;
    if (kind == 'f' && size == 4) return PixelType::Float32;
    if (kind == 'f' && size == 8) return PixelType::Float64;
    throw py::type_error("unsupported image dtype " + py::str(static_cast<py::handle>(dtype)).cast<std::string>());
}

AnyImage anyImageOf(const py::array& image) {
    if (image.ndim() < 2 || image.ndim() > 3)
        throw py::value_error("image must be 2-D or 3-D, got " + std::to_string(image.ndim()) + " dimensions");
    if (!(image.flags() & py::array::c_style) || !image.dtype().attr("isnative").cast<bool>())
        throw py::value_error("image must be C-contiguous in native byte order");
    for (int a = 0; a < image.ndim(); ++a)
        if (uint64_t(image.shape(a)) > 0xFFFFFFFFull) throw py::value_error("image axis too long");
    AnyImage view;
    view.type = pixelTypeOf(image.dtype());
    view.data = image.data();
    view.grid.depth = image.ndim() == 3 ? uint32_t(image.shape(0)) : 1;
    view.grid.height = uint32_t(image.shape(image.ndim() - 2));
    view.grid.width = uint32_t(image.shape(image.ndim() - 1));
    return view;
}

py::array_t<int64_t> widenedIds(const uint32_t* from, size_t n, std::vector<py::ssize_t> shape, unsigned threads) {
    // Arrays the size of the image, made on every build: their memory is reused.
    ReusedVector<int64_t> out(n);
    {
        py::gil_scoped_release release;
        forEachRange(n, threads, threads, [&](size_t, uint64_t begin, uint64_t end) {
            for (uint64_t i = begin; i < end; ++i) out[i] = from[i] == 0xFFFFFFFFu ? -1 : int64_t(from[i]);
        });
    }
    return owningArray(std::move(out), shape);
}

namespace {

py::tuple componentTree(py::array image, int connectivity, bool maxTree, unsigned bands) {
    const AnyImage view = anyImageOf(image);
    ComponentTreeArrays tree;
    {
        py::gil_scoped_release release;  // the array is kept alive by the caller's reference
        tree = buildComponentTree(view, int(image.ndim()), connectivity, maxTree, bands);
    }
    const unsigned threads =
        std::max(1u, std::min(threadBudget(), tree.pixelNode.size() >= kParallelPixels ? 64u : 1u));
    std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
    const py::ssize_t numNodes = py::ssize_t(tree.parents.size());
    const size_t pixelBytes = size_t(image.itemsize());
    ReusedVector<uint8_t> levels(tree.levelPixel.size() * pixelBytes);
    {
        py::gil_scoped_release release;
        gatherLevels(view.data, pixelBytes, tree.levelPixel.data(), tree.levelPixel.size(), levels.data(), threads);
    }
    return py::make_tuple(widenedIds(tree.parents.data(), tree.parents.size(), {numNodes}, threads),
                          widenedIds(tree.pixelNode.data(), tree.pixelNode.size(), shape, threads),
                          owningArray(std::move(levels), image.dtype(), {numNodes}));
}

using Int64Array = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

std::string describe(const py::array& a) {
    std::string shape;
    for (int d = 0; d < a.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(a.shape(d));
    if (a.ndim() == 1) shape += ",";
    return py::str(static_cast<py::handle>(a.dtype())).cast<std::string>() + " (" + shape + ")";
}

// The array's elements in memory of our own, made under the lock: once it is
// released another thread may change the caller's array.
template <typename T>
std::vector<T> copied(const py::array& a) {
    const auto contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
    if (!contiguous) throw py::error_already_set();
    return std::vector<T>(contiguous.data(), contiguous.data() + contiguous.size());
}

template <typename T>
py::array_t<int64_t> extremes(const py::array& parents, const py::array& values, bool highest) {
    const std::vector<int64_t> ownParents = copied<int64_t>(parents);
    const std::vector<T> ownValues = copied<T>(values);
    py::array_t<int64_t> out(py::ssize_t(ownParents.size()));
    int64_t* to = out.mutable_data();
    {
        py::gil_scoped_release release;
        for (const T v : ownValues)
            if (std::isnan(v)) throw std::invalid_argument("values hold NaN");
        subtreeExtremes(ownParents.data(), ownParents.size(), ownValues.data(), highest, to);
    }
    return out;
}

py::array_t<int64_t> subtreeExtremesArray(const py::array& parents, const py::array& values, bool highest) {
    const py::dtype p = parents.dtype(), v = values.dtype();
    if (p.kind() != 'i' || p.itemsize() != 8) throw py::type_error("parents must be int64, got " + describe(parents));
    if (v.kind() != 'f' || (v.itemsize() != 4 && v.itemsize() != 8))
        throw py::type_error("values must be float32 or float64, got " + describe(values));
    if (parents.ndim() != 1 || values.ndim() != 1 || values.shape(0) != parents.shape(0))
        throw py::value_error("expected parents (N,) and values (N,), got " + describe(parents) + " and " +
                              describe(values));
    return v.itemsize() == 4 ? extremes<float>(parents, values, highest) : extremes<double>(parents, values, highest);
}

// rank uint64 (n,), u and v uint32 (m,) -> per vertex its tree parent or
// node (int64, -1 for roots).
py::array_t<int64_t> graphTree(const py::array& rank, const py::array& u, const py::array& v) {
    const py::dtype r = rank.dtype();
    if (r.kind() != 'u' || r.itemsize() != 8) throw py::type_error("rank must be uint64, got " + describe(rank));
    for (const py::array* ends : {&u, &v}) {
        const py::dtype e = ends->dtype();
        if (e.kind() != 'u' || e.itemsize() != 4)
            throw py::type_error(std::string(ends == &u ? "u" : "v") + " must be uint32, got " + describe(*ends));
    }
    if (rank.ndim() != 1 || u.ndim() != 1 || v.ndim() != 1 || u.shape(0) != v.shape(0))
        throw py::value_error("expected rank (n,), u (m,) and v (m,), got " + describe(rank) + ", " + describe(u) +
                              " and " + describe(v));
    if (uint64_t(rank.shape(0)) >= kNoParent)
        throw py::value_error("at most " + std::to_string(kNoParent - 1) + " vertices are supported, got " +
                              std::to_string(rank.shape(0)));
    const std::vector<uint64_t> ranks = copied<uint64_t>(rank);
    const std::vector<uint32_t> from = copied<uint32_t>(u), to = copied<uint32_t>(v);
    const py::ssize_t n = py::ssize_t(ranks.size());
    py::array_t<int64_t> out(n);
    int64_t* ids = out.mutable_data();
    {
        py::gil_scoped_release release;
        const ReusedVector<uint32_t> parents =
            graphComponentTree(ranks.data(), uint32_t(n), from.data(), to.data(), from.size());
        for (py::ssize_t i = 0; i < n; ++i) ids[i] = parents[i] == kNoParent ? -1 : int64_t(parents[i]);
    }
    return out;
}

Int64Array boxes(const Int64Array& pixelNode, const Int64Array& parents) {
    const int ndim = int(pixelNode.ndim());
    if (ndim < 2 || ndim > 3 || parents.ndim() != 1) throw py::value_error("expected a 2-D or 3-D pixel_to_node");
    Grid grid;
    grid.depth = ndim == 3 ? uint32_t(pixelNode.shape(0)) : 1;
    grid.height = uint32_t(pixelNode.shape(ndim - 2));
    grid.width = uint32_t(pixelNode.shape(ndim - 1));
    Int64Array out({py::ssize_t(parents.shape(0)), py::ssize_t(ndim), py::ssize_t(2)});
    int64_t* to = out.mutable_data();
    py::gil_scoped_release release;
    subtreeBoxes(pixelNode.data(), grid, ndim, parents.data(), size_t(parents.shape(0)), to);
    return out;
}

}  // namespace

void bindAnyTrees(py::module_& m) {
    m.def("_component_tree", &componentTree, py::arg("image"), py::arg("connectivity"), py::arg("max_tree"),
          py::arg("bands") = 0,
          "(parents, pixel_to_node, levels) of the component tree of a C-contiguous 2-D or 3-D array: int64 "
          "parents and pixel_to_node, and each node's level in the image's dtype; bands = 0 plans the bands "
          "from the thread budget.");
    m.def("_subtree_extremes", &subtreeExtremesArray, py::arg("parents"), py::arg("values"), py::arg("highest"),
          "For each node, the node of its subtree with the largest value (highest) or the smallest, the largest "
          "id among equal values (int64 (N,)); parents int64 (N,) listing each parent before its children, "
          "values float32 or float64 (N,).");
    m.def("_graph_component_tree", &graphTree, py::arg("rank"), py::arg("u"), py::arg("v"),
          "Component tree of a vertex-weighted graph (rank uint64 (n,), lower ranks deeper; edges u, v uint32 "
          "(m,)): per vertex, int64 (n,), the canonical vertex of its parent node for a canonical vertex (-1 for "
          "a root), its node's canonical vertex (the highest id of its rank in it) otherwise.");
    m.def("_subtree_boxes", &boxes, py::arg("pixel_to_node"), py::arg("parents"),
          "(N, ndim, 2) lowest and highest coordinate of each node's component along every axis.");
}

}  // namespace vexa::python
