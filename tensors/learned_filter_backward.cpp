// The backward pass of the learned filter on one tree: the gradients of the
// pixels, the weights and the bias from that of the output.
#include "core/runtime/interrupt.hpp"
#include "tensors/learned_filter_internal.hpp"

namespace vexa::tensors::filter {

namespace {

// The sum of values[0..count), in four running sums: one would make each
// addition wait for the previous one.
inline double sumOf(const double* values, size_t count) {
    double sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (size_t k = 0; k < 4; ++k) sums[k] += values[i + k];
    for (; i < count; ++i) sums[0] += values[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// The dot product of a[0..count) and b[0..count), in four running sums.
inline double dotOf(const double* a, const double* b, size_t count) {
    double sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (size_t k = 0; k < 4; ++k) sums[k] += a[i + k] * b[i + k];
    for (; i < count; ++i) sums[0] += a[i] * b[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

}  // namespace

template <typename T>
void backwardTree(const Tree& t, const std::vector<int>& columns, double sign, const T* gradOut, int64_t step,
                  T* gradImage, const std::vector<double>& weight, double* gradWeight, double* gradBias) {
    const size_t n = t.numNodes(), pixels = t.pixelNode.size(), width = columns.size();
    InterruptPoll poll;
    Doubles down(n, 0.0);  // gradient of each node's output level, then summed over its subtree
    for (size_t p = 0; p < pixels; ++p) {
        if (p + kAhead < pixels) prefetch(&down[t.pixelNode[p + kAhead]]);
        down[t.pixelNode[p]] += double(gradOut[int64_t(p) * step]);
        poll.step();
    }
    for (size_t i = n; i-- > 1;) {  // children first: each node's gradient summed over its subtree
        if (i >= kAhead) prefetch(&down[t.parent[i - kAhead]]);
        down[t.parent[i]] += down[i];
    }
    // The logits' gradient, and its sums with every feature column.
    Doubles gradLogit(n);
    gradLogit[0] = 0;  // the root keeps its level whatever its score
    double totalGradLogit = 0;
    std::vector<double> dotF(width, 0.0);
    std::vector<const double*> featureOf(width);
    for (size_t j = 0; j < width; ++j) featureOf[j] = t.feature[j].data();
    for (size_t i = 1; i < n; ++i) gradLogit[i] = down[i] * t.residue[i] * t.score[i] * (1 - t.score[i]);
    for (size_t begin = 0; begin < n; begin += kBlock) {  // block by block, one column at a time
        const size_t end = std::min(n, begin + kBlock);
        totalGradLogit += sumOf(gradLogit.data() + begin, end - begin);
        for (size_t j = 0; j < width; ++j)
            dotF[j] += dotOf(gradLogit.data() + begin, featureOf[j] + begin, end - begin);
        poll.step(uint32_t(end - begin));
    }
    *gradBias = totalGradLogit;
    // Back through each column's standardisation, z = (f - mean) / spread:
    // d loss / d f = factor * (weight gradLogit - meanGrad - z meanGradZ).
    // Only the columns that follow the pixels pass it on to them.
    struct Follower {
        int attribute;
        const double *feature, *slope;
        double mean, inverseSpread, weight, meanGrad, meanGradZ;
    };
    std::vector<Follower> followers;
    for (size_t j = 0; j < width; ++j) {
        gradWeight[j] = t.constant[j] ? 0 : (dotF[j] - t.mean[j] * totalGradLogit) / t.spread[j];
        if (!followsPixels(columns[j])) continue;
        followers.push_back({columns[j], featureOf[j], t.slope[j].data(), t.mean[j], 1 / t.spread[j], weight[j],
                             weight[j] * totalGradLogit / double(n),
                             t.constant[j] ? 0 : weight[j] * gradWeight[j] / double(n)});
    }
    // One pass, parents first: each node's share of its own level and of its
    // parent's, and the gradient of its subtree's pixel sum, whose pixels all
    // lie below: it reaches them through the ancestors' (already complete).
    Doubles gradLevel(n, 0.0), gradSums;
    const bool sums = anyColumn(columns, readsSums);
    if (sums) gradSums.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            prefetch(&gradLevel[t.parent[i + kAhead]]);
            if (sums) prefetch(&gradSums[t.parent[i + kAhead]]);
        }
        gradLevel[i] += down[i] * t.score[i];
        double toParent = i == 0 ? 0 : -down[i] * t.score[i];
        for (const Follower& c : followers) {
            const int a = c.attribute;
            const double z = (c.feature[i] - c.mean) * c.inverseSpread;
            const double g = (c.weight * gradLogit[i] - c.meanGrad - z * c.meanGradZ) * c.inverseSpread * c.slope[i];
            if (a == Volume) {
                gradSums[i] += sign * g;
                toParent -= sign * double(t.counts[i].area) * g;
            } else if (a == Height) {
                gradLevel[t.extreme[i]] += sign * g;
                toParent -= sign * g;
            } else {  // mean level
                gradSums[i] += g / double(t.counts[i].area);
            }
        }
        gradLevel[t.above(i)] += toParent;  // the root's own level for the root
        if (sums && i > 0) gradSums[i] += gradSums[t.parent[i]];
        poll.step();
    }
    for (size_t i = 0; i < n; ++i) gradLevel[i] = gradLevel[i] / t.counts[i].compact + (sums ? gradSums[i] : 0);
    for (size_t p = 0; p < pixels; ++p) {
        if (p + kAhead < pixels) prefetch(&gradLevel[t.pixelNode[p + kAhead]]);
        gradImage[p] = T(gradLevel[t.pixelNode[p]]);
        poll.step();
    }
}

#define VEXA_BACKWARD_TREE(T)                                                                          \
    template void backwardTree<T>(const Tree&, const std::vector<int>&, double, const T*, int64_t, T*, \
                                  const std::vector<double>&, double*, double*);
VEXA_FOR_FILTER_TYPES(VEXA_BACKWARD_TREE)

}  // namespace vexa::tensors::filter
