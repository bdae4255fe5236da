// The pixel pass of the learned filter: each tree's arrays read and
// checked, and each node's totals over the pixels (sum, counts, box), then
// over its subtree.
#include <cmath>
#include <stdexcept>

#include "core/runtime/interrupt.hpp"
#include "tensors/describe.hpp"
#include "tensors/learned_filter_internal.hpp"

namespace vexa::tensors::filter {

void checkTypes(const FilterTree& given, size_t k) {
    const std::string which = "trees[" + std::to_string(k) + "]: ";
    const at::Tensor& parents = given.parents;
    if (!parents.defined() || parents.scalar_type() != at::kLong || parents.dim() != 1 || parents.numel() == 0 ||
        !parents.device().is_cpu())
        throw std::invalid_argument(which + "parents must be a non-empty one-dimensional int64 CPU tensor, got " +
                                    describe(parents));
    const at::Tensor& pixels = given.pixelToNode;
    if (!pixels.defined() || pixels.scalar_type() != at::kLong || pixels.dim() != 2 || pixels.numel() == 0 ||
        !pixels.device().is_cpu())
        throw std::invalid_argument(which +
                                    "pixel_to_node must be a non-empty int64 CPU tensor of the image's "
                                    "shape (H, W), got " +
                                    describe(pixels));
}

template <typename T>
std::unique_ptr<Tree> readTree(const FilterTree& given, size_t k, const T* image) {
    const std::string which = "trees[" + std::to_string(k) + "]: ";
    auto tree = std::make_unique<Tree>();
    const at::Tensor denseParents = given.parents.contiguous();
    const int64_t* parents = denseParents.data_ptr<int64_t>();
    const size_t n = size_t(denseParents.numel());
    if (n > 0xFFFFFFFFull) throw std::invalid_argument(which + "too many nodes");
    tree->parent.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t p = parents[i];  // read once: another thread may write the tensor meanwhile
        if (i == 0 ? p != -1 : p < 0 || p >= int64_t(i))
            throw std::invalid_argument(which +
                                        "parents must hold one tree whose root is node 0 and whose every "
                                        "parent comes before its children: node " +
                                        std::to_string(i) + " has parent " + std::to_string(p));
        tree->parent[i] = uint32_t(i == 0 ? 0 : p);
    }
    const at::Tensor densePixels = given.pixelToNode.contiguous();
    const int64_t* ids = densePixels.data_ptr<int64_t>();
    const int64_t height = densePixels.size(0), width = densePixels.size(1);
    tree->pixelNode.resize(size_t(densePixels.numel()));
    ReusedVector<NodeTotals>& totals = tree->totals;
    totals.resize(n);
    for (NodeTotals& t : totals) t = {0.0, 0, 0, INT32_MAX, -1, INT32_MAX, -1};
    InterruptPoll poll;
    for (int64_t y = 0, p = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x, ++p) {
            if (ids[p] < 0 || uint64_t(ids[p]) >= n)
                throw std::invalid_argument(which + "pixel_to_node holds " + std::to_string(ids[p]) + ", outside 0.." +
                                            std::to_string(n - 1));
            tree->pixelNode[p] = uint32_t(ids[p]);
            if (p + int64_t(kAhead) < height * width && uint64_t(ids[p + kAhead]) < n)
                prefetch(&totals[ids[p + kAhead]]);
            const double value = double(image[p]);
            if (!std::isfinite(value))  // the levels, volumes and outputs would all be NaN
                throw std::invalid_argument(which + "the image holds " + std::to_string(value) + " at pixel " +
                                            std::to_string(p) + "; the filter takes finite values");
            NodeTotals& t = totals[ids[p]];
            t.sum += value;
            // Rows come in order: a node's first pixel has its lowest row,
            // and its latest pixel its highest.
            if (t.compact++ == 0) {
                t.rowLow = int32_t(y);
                t.columnLow = t.columnHigh = int32_t(x);
            } else {
                t.columnLow = std::min(t.columnLow, int32_t(x));
                t.columnHigh = std::max(t.columnHigh, int32_t(x));
            }
            t.rowHigh = int32_t(y);
        }
        poll.step(uint32_t(width));
    }
    tree->level.resize(n);
    tree->residue.resize(n);
    for (size_t i = 0; i < n; ++i) {  // parents first: a parent's level is known
        if (totals[i].compact == 0)
            throw std::invalid_argument(which + "node " + std::to_string(i) + " is the smallest component of no pixel");
        if (i + kAhead < n) prefetch(&tree->level[tree->parent[i + kAhead]]);
        tree->level[i] = totals[i].sum / totals[i].compact;
        tree->residue[i] = i == 0 ? tree->level[0] : tree->level[i] - tree->level[tree->parent[i]];
        totals[i].area = totals[i].compact;
    }
    for (size_t i = n; i-- > 1;) {  // children first
        if (i >= kAhead) prefetch(&totals[tree->parent[i - kAhead]]);
        NodeTotals &to = totals[tree->parent[i]], &from = totals[i];
        to.sum += from.sum;
        to.area += from.area;
        to.rowLow = std::min(to.rowLow, from.rowLow);
        to.rowHigh = std::max(to.rowHigh, from.rowHigh);
        to.columnLow = std::min(to.columnLow, from.columnLow);
        to.columnHigh = std::max(to.columnHigh, from.columnHigh);
    }
    return tree;
}

#define VEXA_READ_TREE(T) template std::unique_ptr<Tree> readTree<T>(const FilterTree&, size_t, const T*);
VEXA_FOR_FILTER_TYPES(VEXA_READ_TREE)

}  // namespace vexa::tensors::filter
