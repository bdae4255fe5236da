#pragma once
// Private to the learned filter (tensors/learned_filter_*.cpp): what its
// passes share. The batch driver (learned_filter.cpp) reads each tree
// (learned_filter_read.cpp), makes its feature columns and their statistics
// (learned_filter_columns.cpp), runs the forward pass
// (learned_filter_forward.cpp) and, later, the backward pass
// (learned_filter_backward.cpp).
#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/runtime/reused_memory.hpp"
#include "tensors/learned_filter.hpp"

namespace vexa::tensors::filter {

// Per-node arrays, their memory reused from step to step.
using Doubles = ReusedVector<double>;
using Ids = ReusedVector<int64_t>;

// Passes that read or write nodes at scattered places (a pixel's node, a
// node's parent) ask for the entry needed this many steps ahead, so that
// the cache misses overlap instead of following one another.
constexpr size_t kAhead = 32;

inline void prefetch(const void* at) { __builtin_prefetch(at, 1); }

enum Attribute : int {
    Area,
    Volume,
    Height,
    BoxHeight,
    BoxWidth,
    ExtentRows,
    ExtentColumns,
    Diameter,
    MeanLevel,
    Rectangularity
};

// Sizes spread over orders of magnitude: their feature is log1p(|value|).
inline bool isSize(int a) { return a != MeanLevel && a != Rectangularity; }
inline bool followsPixels(int a) { return a == Volume || a == Height || a == MeanLevel; }
inline bool readsSums(int a) { return a == Volume || a == MeanLevel; }

inline bool anyColumn(const std::vector<int>& columns, bool (*test)(int)) {
    return std::any_of(columns.begin(), columns.end(), test);
}

// Passes that make or sum feature columns take the nodes in blocks of this
// many, which stay in the first-level cache from one column to the next.
constexpr size_t kBlock = 256;

// What a node gathers from its compact pixels, then from its subtree, in
// one place: a pass over the pixels reaches a node's totals with one cache
// miss rather than one per quantity.
struct NodeTotals {
    double sum;                                      // of the pixels' values
    uint32_t compact;                                // the pixels whose smallest component the node is
    uint32_t area;                                   // the pixels of its component
    int32_t rowLow, rowHigh, columnLow, columnHigh;  // its bounding box
};

}  // namespace vexa::tensors::filter

namespace vexa::tensors {

struct LearnedFilterBatch::Tree {
    // Read once and checked: the call owns them.
    ReusedVector<uint32_t> parent;  // a smaller id; node 0, the root, has itself
    ReusedVector<uint32_t> pixelNode;
    ReusedVector<filter::NodeTotals> totals;  // sums over each subtree; dropped once the features are made
    // The two counts backward reads, apart: a pass over them streams 8 bytes
    // a node rather than the totals' 32.
    struct Counts {
        uint32_t compact, area;
    };
    ReusedVector<Counts> counts;
    // What forward leaves for backward.
    filter::Doubles level, residue, score;  // residue: the level less its parent's (the root's own level)
    filter::Ids extreme;
    // Per feature column: the feature before standardisation, its mean and
    // the deviation it is divided by (1 for a constant column); for the
    // columns that follow the pixels, d feature / d attribute.
    std::vector<filter::Doubles> feature, slope;
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

}  // namespace vexa::tensors

namespace vexa::tensors::filter {

using Tree = LearnedFilterBatch::Tree;

// The image types forward and backward dispatch to.
#define VEXA_FOR_FILTER_TYPES(MACRO) MACRO(float) MACRO(double) MACRO(at::Half) MACRO(at::BFloat16)

// The attribute code of each feature column of the named attributes (extent
// gives two); std::invalid_argument for an unknown name.
std::vector<int> columnsOf(const std::vector<std::string>& names);

// Refuses trees whose tensors have the wrong dtype, shape or device.
void checkTypes(const FilterTree& given, size_t k);

// The tree's arrays, read and checked, with each node's totals over the
// pixels of `image`: its level is the mean of its compact pixels.
template <typename T>
std::unique_ptr<Tree> readTree(const FilterTree& given, size_t k, const T* image);

// Every feature column with its mean and spread, in one pass over the
// nodes' totals (each pass streams the whole array), block by block; keeps
// the counts backward needs.
void computeColumns(Tree& t, const std::vector<int>& columns, double sign);

// The scores of the nodes and the filtered image `out`; keeps what backward reads.
template <typename T>
void forwardTree(Tree& t, const std::vector<int>& columns, double sign, T* out, const std::vector<double>& weight,
                 double bias);

// The gradients of the image (gradImage), the weights and the bias from that
// of the output, read every `step` elements from gradOut.
template <typename T>
void backwardTree(const Tree& t, const std::vector<int>& columns, double sign, const T* gradOut, int64_t step,
                  T* gradImage, const std::vector<double>& weight, double* gradWeight, double* gradBias);

}  // namespace vexa::tensors::filter
