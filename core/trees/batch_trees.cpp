#include "core/trees/batch_trees.hpp"

#include "core/runtime/parallel.hpp"
#include "core/runtime/threads.hpp"

namespace vexa {

namespace {

template <typename Ids>
ReusedVector<int64_t> widened(const Ids& ids) {
    ReusedVector<int64_t> wide(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) wide[i] = ids[i] == ComponentTreeArrays::kNoParent ? -1 : int64_t(ids[i]);
    return wide;
}

}  // namespace

std::vector<WideTree> buildWideTrees(const std::vector<AnyImage>& images, int ndim, int connectivity, bool maxTree) {
    std::vector<WideTree> trees(images.size());
    parallelFor(images.size(), threadBudget(), [&](size_t i) {
        ComponentTreeArrays tree = buildComponentTree(images[i], ndim, connectivity, maxTree, 1);
        trees[i].parents = widened(tree.parents);
        ReusedVector<uint32_t>().swap(tree.parents);
        trees[i].pixelNode = widened(tree.pixelNode);
    });
    return trees;
}

}  // namespace vexa
