#include "tensors/learned_filter.hpp"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/trees/subtree_extents.hpp"
#include "core/runtime/threads.hpp"
#include "tensors/conversion.hpp"
#include "tensors/describe.hpp"

namespace vexa::tensors {

namespace {

// Per-node arrays, their memory reused from step to step.
using Doubles = ReusedVector<double>;
using Ids = ReusedVector<int64_t>;

// Passes that read or write nodes at scattered places (a pixel's node, a
// node's parent) ask for the entry needed this many steps ahead, so that
// the cache misses overlap instead of following one another.
constexpr size_t kAhead = 32;

inline void prefetch(const void* at) { __builtin_prefetch(at, 1); }

enum Attribute : int {
    Area, Volume, Height, BoxHeight, BoxWidth, ExtentRows, ExtentColumns, Diameter, MeanLevel, Rectangularity
};

// Sizes spread over orders of magnitude: their feature is log1p(|value|).
bool isSize(int a) { return a != MeanLevel && a != Rectangularity; }
bool followsPixels(int a) { return a == Volume || a == Height || a == MeanLevel; }
bool readsSums(int a) { return a == Volume || a == MeanLevel; }

std::vector<int> columnsOf(const std::vector<std::string>& names) {
    static const char* known[] = {"area", "volume", "height", "box_height", "box_width", "extent", "diameter",
                                  "mean_level", "rectangularity"};
    static const int codes[] = {Area, Volume, Height, BoxHeight, BoxWidth, ExtentRows, Diameter, MeanLevel,
                                Rectangularity};
    std::vector<int> columns;
    for (const std::string& name : names) {
        const auto* at = std::find(std::begin(known), std::end(known), name);
        if (at == std::end(known))
            throw std::invalid_argument("unknown attribute '" + name +
                                        "'; choose from area, volume, height, box_height, box_width, extent, "
                                        "diameter, mean_level, rectangularity");
        const int code = codes[at - std::begin(known)];
        columns.push_back(code);
        if (code == ExtentRows) columns.push_back(ExtentColumns);
    }
    return columns;
}

bool anyColumn(const std::vector<int>& columns, bool (*test)(int)) {
    return std::any_of(columns.begin(), columns.end(), test);
}

// Reads a floating tensor's elements as doubles, whatever its dtype.
std::vector<double> doublesOf(const at::Tensor& t) {
    const at::Tensor d = t.detach().to(at::kDouble).contiguous();
    return std::vector<double>(d.data_ptr<double>(), d.data_ptr<double>() + d.numel());
}

}  // namespace

// What a node gathers from its compact pixels, then from its subtree, in
// one place: a pass over the pixels reaches a node's totals with one cache
// miss rather than one per quantity.
struct NodeTotals {
    double sum;         // of the pixels' values
    uint32_t compact;   // the pixels whose smallest component the node is
    uint32_t area;      // the pixels of its component
    int32_t rowLow, rowHigh, columnLow, columnHigh;  // its bounding box
};

struct LearnedFilterBatch::Tree {
    // Read once and checked: the call owns them.
    ReusedVector<uint32_t> parent;  // a smaller id; node 0, the root, has itself
    ReusedVector<uint32_t> pixelNode;
    ReusedVector<NodeTotals> totals;  // sums over each subtree; dropped once the features are made
    // The two counts backward reads, apart: a pass over them streams 8 bytes
    // a node rather than the totals' 32.
    struct Counts {
        uint32_t compact, area;
    };
    ReusedVector<Counts> counts;
    // What forward leaves for backward.
    Doubles level, residue, score;  // residue: the level less its parent's (the root's own level)
    Ids extreme;
    // Per feature column: the feature before standardisation, its mean and
    // the deviation it is divided by (1 for a constant column); for the
    // columns that follow the pixels, d feature / d attribute.
    std::vector<Doubles> feature, slope;
    std::vector<double> mean, spread;
    std::vector<bool> constant;

    size_t numNodes() const { return parent.size(); }
    // The parent, the node itself at the root (as the level of a root's parent is its own).
    size_t above(size_t n) const { return parent[n]; }
    double levelAbove(size_t n) const { return n == 0 ? level[0] : level[n] - residue[n]; }
    double area(size_t n) const { return double(totals[n].area); }
    uint32_t rows(size_t n) const { return uint32_t(totals[n].rowHigh - totals[n].rowLow + 1); }
    uint32_t columns(size_t n) const { return uint32_t(totals[n].columnHigh - totals[n].columnLow + 1); }
};

namespace {

using Tree = LearnedFilterBatch::Tree;

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
        throw std::invalid_argument(which + "pixel_to_node must be a non-empty int64 CPU tensor of the image's "
                                    "shape (H, W), got " + describe(pixels));
}

// The tree's arrays, read and checked, with each node's totals over the
// pixels of `image`: its level is the mean of its compact pixels.
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
            throw std::invalid_argument(which + "parents must hold one tree whose root is node 0 and whose every "
                                        "parent comes before its children: node " + std::to_string(i) +
                                        " has parent " + std::to_string(p));
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
                throw std::invalid_argument(which + "pixel_to_node holds " + std::to_string(ids[p]) +
                                            ", outside 0.." + std::to_string(n - 1));
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

// The attribute of node i that follows the pixels, before the logarithm.
inline double pixelAttributeAt(int a, const Tree& t, double sign, size_t i) {
    switch (a) {
        case Volume: return sign * (t.totals[i].sum - t.area(i) * t.levelAbove(i));
        case Height: return sign * (t.level[t.extreme[i]] - t.levelAbove(i));
        default: return t.totals[i].sum / t.area(i);  // mean level
    }
}

// log1p of the whole numbers below this comes from a table.
constexpr uint32_t kLogTableSize = 4096;

const double* logTable() {
    static const std::vector<double> table = [] {
        std::vector<double> values(kLogTableSize);
        for (size_t k = 0; k < values.size(); ++k) values[k] = std::log1p(double(k));
        return values;
    }();
    return table.data();
}

// log1p(c) of a count or an extent, mostly small.
inline double logCount(uint32_t c, const double* table) {
    return c < kLogTableSize ? table[c] : std::log(1.0 + double(c));
}

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

// Passes that make or sum feature columns take the nodes in blocks of this
// many, which stay in the first-level cache from one column to the next.
constexpr size_t kBlock = 256;

// The dot product of a[0..count) and b[0..count), in four running sums.
inline double dotOf(const double* a, const double* b, size_t count) {
    double sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (size_t k = 0; k < 4; ++k) sums[k] += a[i + k] * b[i + k];
    for (; i < count; ++i) sums[0] += a[i] * b[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// Column j's features of nodes [begin, end): one loop per attribute, so
// that each loop is short and free of the choice between attributes.
void fillColumn(Tree& t, int a, size_t j, double sign, size_t begin, size_t end) {
    double* f = t.feature[j].data();
    const double* table = logTable();
    switch (a) {
        case Area:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.totals[i].area, table);
            break;
        case BoxHeight:
        case ExtentRows:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.rows(i), table);
            break;
        case BoxWidth:
        case ExtentColumns:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.columns(i), table);
            break;
        case Diameter:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(std::max(t.rows(i), t.columns(i)), table);
            break;
        case Rectangularity:
            for (size_t i = begin; i < end; ++i) f[i] = t.area(i) / (double(t.rows(i)) * double(t.columns(i)));
            break;
        default: {  // follows the pixels
            double* slope = t.slope[j].data();
            if (!isSize(a)) {
                for (size_t i = begin; i < end; ++i) {
                    f[i] = pixelAttributeAt(a, t, sign, i);
                    slope[i] = 1.0;
                }
                break;
            }
            // log1p(|v|) = log(u) |v| / (u - 1) with u = 1 + |v|, to a few ulps
            // (Goldberg, "What every computer scientist should know about
            // floating-point arithmetic", theorem 4): log1p costs about three
            // logs. The divisions first, in a loop free of calls that
            // overlaps them, then the logarithms.
            double ratio[kBlock];
            for (size_t i = begin; i < end; ++i) {
                const double v = pixelAttributeAt(a, t, sign, i), magnitude = std::abs(v), u = 1.0 + magnitude;
                slope[i] = double((v > 0) - (v < 0)) / u;  // d log1p(|v|) / dv, 0 at 0 as torch's abs has it
                f[i] = u;
                ratio[i - begin] = u == 1.0 ? magnitude : magnitude / (u - 1.0);
            }
            for (size_t i = begin; i < end; ++i)
                f[i] = f[i] == 1.0 ? ratio[i - begin] : std::log(f[i]) * ratio[i - begin];
        }
    }
}

// A column's count, total, mean and sum of squared deviations from the mean,
// gathered block by block while each block is in cache: blocks merge as in
// Chan, Golub and LeVeque's pairwise update of the variance. Within a block
// the deviations are taken from its first value, so that a constant column
// has exactly its value as mean and 0 as variance, where a mean rounded
// from the total would leave a tiny variance that blows the column up.
struct ColumnStats {
    double count = 0, total = 0, mean = 0, squares = 0;

    void add(const double* values, size_t k) {
        const double first = values[0];
        // Four running sums of each kind: one would make each step wait for
        // the previous one.
        double sums[4] = {0, 0, 0, 0}, shifted[4] = {0, 0, 0, 0}, shiftedSquares[4] = {0, 0, 0, 0};
        size_t i = 0;
        for (; i + 4 <= k; i += 4)
            for (size_t r = 0; r < 4; ++r) {
                const double d = values[i + r] - first;
                sums[r] += values[i + r];
                shifted[r] += d;
                shiftedSquares[r] += d * d;
            }
        for (; i < k; ++i) {
            const double d = values[i] - first;
            sums[0] += values[i];
            shifted[0] += d;
            shiftedSquares[0] += d * d;
        }
        auto sumOf4 = [](const double* s) { return (s[0] + s[1]) + (s[2] + s[3]); };
        const double shiftedSum = sumOf4(shifted), blockMean = first + shiftedSum / double(k);
        const double blockSquares = std::max(0.0, sumOf4(shiftedSquares) - shiftedSum * shiftedSum / double(k));
        const double merged = count + double(k), delta = blockMean - mean;
        squares += blockSquares + delta * delta * count * double(k) / merged;
        mean += delta * (double(k) / merged);  // the first block's mean exactly
        total += sumOf4(sums);
        count = merged;
    }
};

// Column j's mean and spread; a constant column's spread is 1, so that its
// standardised feature is exactly 0.
void standardise(Tree& t, size_t j, const ColumnStats& stats) {
    const double var = stats.squares / stats.count;
    t.constant[j] = !(var > 0);
    t.mean[j] = t.constant[j] ? stats.mean : stats.total / stats.count;
    t.spread[j] = t.constant[j] ? 1.0 : std::sqrt(var);
}

// Every feature column with its mean and spread, in one pass over the
// nodes' totals (each pass streams the whole array), block by block; keeps
// the counts backward needs.
void computeColumns(Tree& t, const std::vector<int>& columns, double sign) {
    const size_t width = columns.size(), n = t.numNodes();
    t.feature.assign(width, {});
    t.slope.assign(width, {});
    t.mean.assign(width, 0.0);
    t.spread.assign(width, 1.0);
    t.constant.assign(width, true);
    t.counts.resize(n);
    for (size_t j = 0; j < width; ++j) {
        t.feature[j].resize(n);
        if (followsPixels(columns[j])) t.slope[j].resize(n);
    }
    std::vector<ColumnStats> stats(width);
    InterruptPoll poll;
    for (size_t begin = 0; begin < n; begin += kBlock) {
        const size_t end = std::min(n, begin + kBlock);
        for (size_t i = begin; i < end; ++i) t.counts[i] = {t.totals[i].compact, t.totals[i].area};
        for (size_t j = 0; j < width; ++j) {
            fillColumn(t, columns[j], j, sign, begin, end);
            stats[j].add(t.feature[j].data() + begin, end - begin);
        }
        poll.step(uint32_t(end - begin));
    }
    for (size_t j = 0; j < width; ++j) standardise(t, j, stats[j]);
}

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

template <typename T>
void backwardTree(const Tree& t, const std::vector<int>& columns, double sign, const T* gradOut, int64_t step,
                  T* gradImage,
                  const std::vector<double>& weight, double* gradWeight, double* gradBias) {
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

void checkImages(const at::Tensor& images, const std::vector<FilterTree>& trees, const char* name) {
    if (!images.defined() || !at::isFloatingType(images.scalar_type()) || images.dim() != 2 ||
        images.size(0) != int64_t(trees.size()) || !images.device().is_cpu())
        throw std::invalid_argument(std::string(name) + " must be a floating-point CPU tensor (K, P) with K = " +
                                    std::to_string(trees.size()) + " trees, got " + describe(images));
    for (size_t k = 0; k < trees.size(); ++k)
        if (images.size(1) != trees[k].pixelToNode.numel())
            throw std::invalid_argument(std::string(name) + " has " + std::to_string(images.size(1)) +
                                        " pixels per row, but trees[" + std::to_string(k) + "] has " +
                                        std::to_string(trees[k].pixelToNode.numel()));
}

}  // namespace

LearnedFilterBatch::LearnedFilterBatch(const std::vector<FilterTree>& trees, const std::vector<std::string>& attributes,
                                       bool maxTree)
    : columns_(columnsOf(attributes)), sign_(maxTree ? 1.0 : -1.0) {
    if (trees.empty()) throw std::invalid_argument("trees is empty");
    for (size_t k = 0; k < trees.size(); ++k) checkTypes(trees[k], k);
    given_ = trees;
}

LearnedFilterBatch::~LearnedFilterBatch() = default;

int64_t LearnedFilterBatch::numFeatures() const { return int64_t(columns_.size()); }

at::Tensor LearnedFilterBatch::forward(const at::Tensor& images, const at::Tensor& weight, const at::Tensor& bias) {
    if (ran_) throw std::logic_error("forward runs once per batch of trees");
    checkImages(images, given_, "images");
    if (!weight.defined() || !at::isFloatingType(weight.scalar_type()) || weight.dim() != 1 ||
        weight.size(0) != numFeatures() || !weight.device().is_cpu())
        throw std::invalid_argument("weight must be a floating-point CPU tensor of shape (" +
                                    std::to_string(numFeatures()) + "), got " + describe(weight));
    if (!bias.defined() || !at::isFloatingType(bias.scalar_type()) || bias.numel() != 1 || !bias.device().is_cpu())
        throw std::invalid_argument("bias must be a floating-point CPU scalar, got " + describe(bias));
    const std::vector<double> w = doublesOf(weight);
    const double b = doublesOf(bias)[0];
    const at::Tensor input = images.detach().contiguous();
    at::Tensor out = emptyReused(input.sizes(), input.scalar_type());
    const int64_t row = input.size(1);
    trees_.resize(given_.size());
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, input.scalar_type(), "learnedFilter", [&] {
        const scalar_t* from = input.data_ptr<scalar_t>();
        scalar_t* to = out.data_ptr<scalar_t>();
        parallelFor(trees_.size(), threadBudget(), [&](size_t k) {
            trees_[k] = readTree(given_[k], k, from + k * row);
            forwardTree(*trees_[k], columns_, sign_, to + k * row, w, b);
        });
    });
    imageType_ = input.scalar_type();
    weightType_ = weight.scalar_type();
    weight_ = w;
    ran_ = true;
    return out;
}

std::tuple<at::Tensor, at::Tensor, at::Tensor> LearnedFilterBatch::backward(const at::Tensor& gradOutput) const {
    if (!ran_) throw std::logic_error("backward needs a completed forward");
    checkImages(gradOutput, given_, "grad_output");
    // Read in place whatever its strides: the gradient of a sum or a mean is
    // one value expanded to the output's shape, not worth writing out.
    const at::Tensor grad = gradOutput.detach().to(imageType_);
    at::Tensor gradImages = emptyReused(grad.sizes(), grad.scalar_type());
    const size_t width = columns_.size(), count = trees_.size();
    std::vector<double> perTree(count * (width + 1));  // weight then bias gradients of each tree
    const int64_t row = grad.size(1), rowStep = grad.stride(0), step = grad.stride(1);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, grad.scalar_type(), "learnedFilterBackward", [&] {
        const scalar_t* from = grad.data_ptr<scalar_t>();
        scalar_t* to = gradImages.data_ptr<scalar_t>();
        parallelFor(count, threadBudget(), [&](size_t k) {
            double* sums = perTree.data() + k * (width + 1);
            backwardTree(*trees_[k], columns_, sign_, from + int64_t(k) * rowStep, step, to + k * row, weight_, sums,
                         sums + width);
        });
    });
    at::Tensor gradWeight = at::zeros({int64_t(width)}, at::kDouble), gradBias = at::zeros({}, at::kDouble);
    double* gw = gradWeight.data_ptr<double>();
    for (size_t k = 0; k < count; ++k) {  // in tree order: the same sums on every run
        for (size_t j = 0; j < width; ++j) gw[j] += perTree[k * (width + 1) + j];
        gradBias.data_ptr<double>()[0] += perTree[k * (width + 1) + width];
    }
    return {gradImages, gradWeight.to(weightType_), gradBias.to(weightType_)};
}

}  // namespace vexa::tensors
