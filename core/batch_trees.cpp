#include "core/batch_trees.hpp"

#include <algorithm>

#include "core/parallel.hpp"
#include "core/subtree_extents.hpp"
#include "core/threads.hpp"

namespace vexa {

namespace {

template <typename Ids>
void widen(const Ids& ids, int64_t* to) {
    for (size_t i = 0; i < ids.size(); ++i)
        to[i] = ids[i] == ComponentTreeArrays::kNoParent ? -1 : int64_t(ids[i]);
}

// Tree `i` into its slot; returns its node count.
size_t fill(ComponentTreeArrays tree, const Grid& grid, const TreeSlots& to, size_t i) {
    const size_t nodes = tree.parents.size(), pixels = to.pixels;
    int64_t* parents = to.parents + i * pixels;
    int64_t* pixelNode = to.pixelNode + i * pixels;
    int32_t *compact = to.compact + i * pixels, *area = to.area + i * pixels;
    widen(tree.parents, parents);
    widen(tree.pixelNode, pixelNode);
    tree = ComponentTreeArrays();  // free as we go
    std::fill(compact, compact + nodes, 0);
    for (size_t p = 0; p < pixels; ++p) ++compact[pixelNode[p]];
    std::copy(compact, compact + nodes, area);
    for (size_t n = nodes; n-- > 1;) area[parents[n]] += area[n];  // parents before children
    thread_local std::vector<int64_t> boxes;  // reused, as the slots are
    boxes.resize(4 * nodes);
    subtreeBoxes(pixelNode, grid, 2, parents, nodes, boxes.data());
    int32_t* extents = to.extents + 2 * i * pixels;
    for (size_t k = 0; k < 2 * nodes; ++k) extents[k] = int32_t(boxes[2 * k + 1] - boxes[2 * k] + 1);
    return nodes;
}

}  // namespace

void buildTreesIntoSlots(const std::vector<AnyImage>& images, int connectivity, bool maxTree,
                         const TreeSlots& slots, int64_t* nodes) {
    parallelFor(images.size(), threadBudget(), [&](size_t i) {
        nodes[i] = int64_t(fill(buildComponentTree(images[i], 2, connectivity, maxTree, 1), images[i].grid, slots, i));
    });
}

}  // namespace vexa
