// The forward pass of the learned filter on one tree: the nodes' scores
// from their standardised features, then each pixel's output level.
#include <cmath>

#include "core/runtime/interrupt.hpp"
#include "core/trees/subtree_extents.hpp"
#include "tensors/learned_filter_internal.hpp"

namespace vexa::tensors::filter {

template <typename T>
void forwardTree(Tree& t, const std::vector<int>& columns, double sign, T* out, const std::vector<double>& weight,
                 double bias) {
    const size_t n = t.numNodes(), pixels = t.pixelNode.size();
    InterruptPoll poll;
    if (anyColumn(columns, [](int a) { return a == Height; })) {
        t.extreme.resize(n);
        Ids parents(n);  // as the pass takes them
        for (size_t i = 0; i < n; ++i) parents[i] = i == 0 ? -1 : int64_t(t.parent[i]);
        subtreeExtremes(parents.data(), n, t.level.data(), sign > 0, t.extreme.data());
    }
    computeColumns(t, columns, sign);
    ReusedVector<NodeTotals>().swap(t.totals);  // backward reads the counts alone
    const size_t width = columns.size();
    // logit = bias + sum_j weight_j (f_j - mean_j) / spread_j
    double offset = bias;
    std::vector<double> scale(width);
    for (size_t j = 0; j < width; ++j) scale[j] = weight[j] / t.spread[j], offset -= scale[j] * t.mean[j];
    t.score.resize(n);
    std::vector<const double*> columnsOf(width);
    for (size_t j = 0; j < width; ++j) columnsOf[j] = t.feature[j].data();
    t.score[0] = 1.0;  // the root keeps its level
    for (size_t i = 1; i < n; ++i) {
        double logit = offset;
        for (size_t j = 0; j < width; ++j) logit += scale[j] * columnsOf[j][i];
        t.score[i] = 1.0 / (1.0 + std::exp(-logit));
        poll.step();
    }
    // Apart from the scores: a pass that reads at scattered places runs
    // faster without arithmetic that keeps its reads from overlapping.
    Doubles below(n);  // each node's output level
    below[0] = t.level[0];
    for (size_t i = 1; i < n; ++i) {
        if (i + kAhead < n) prefetch(&below[t.parent[i + kAhead]]);
        below[i] = t.score[i] * t.residue[i] + below[t.parent[i]];
    }
    for (size_t p = 0; p < pixels; ++p) {
        if (p + kAhead < pixels) prefetch(&below[t.pixelNode[p + kAhead]]);
        out[p] = T(below[t.pixelNode[p]]);
        poll.step();
    }
}

#define VEXA_FORWARD_TREE(T) \
    template void forwardTree<T>(Tree&, const std::vector<int>&, double, T*, const std::vector<double>&, double);
VEXA_FOR_FILTER_TYPES(VEXA_FORWARD_TREE)

}  // namespace vexa::tensors::filter
