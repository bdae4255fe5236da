#pragma once
#include <cstdint>
#include <vector>

#include "bpt/linkage.hpp"
#include "bpt/region_graph.hpp"

namespace vexa {

// What a partition tree is built from: the pixels' values (numPixels x
// channels, row-major, finite), the grid, and the initial regions.
struct PartitionInput {
    const double* values = nullptr;
    uint32_t channels = 1;
    Grid grid;     // depth 1 in 2-D
    int ndim = 2;  // 2 or 3
    // Label of every pixel; null starts from one region per pixel. Each
    // distinct label is a leaf, leaves numbered in ascending label order.
    const uint32_t* labels = nullptr;
    int connectivity = 1;
    Linkage linkage = Linkage::Mean;
};

// A binary partition tree as flat arrays: the L leaves first (by label, or
// by pixel index), then the merged nodes in merge order; the root is last.
struct PartitionTree {
    std::vector<int64_t> parents;   // parent position, -1 for the root
    std::vector<double> altitudes;  // dissimilarity at the merge; 0 for leaves
    std::vector<uint32_t> leafOf;   // leaf of every pixel; empty when leaves are pixels
    uint32_t numLeaves = 0;
};

// Merges adjacent regions two at a time, least dissimilar first, until one
// region is left. Ties go to the pair of smallest (smaller node position,
// larger node position), so the result is deterministic; single linkage
// (Min) follows Kruskal's order instead, ties going to the border whose
// least pixel pair comes first in the scan (pixel index, then offset), and
// takes O(E log E). For max, average and Ward linkages each merge walks the
// new region's adjacencies once to re-weigh them and queues those whose
// weight dropped (queued keys are lower bounds, checked when they come out),
// so the work is at most O(D log D) for D the sum of the merged regions'
// degrees: close to E log E for the E leaf adjacencies when regions stay
// compact, more when one region grows by absorbing its neighbours one at a
// time. Mean linkage walks only the smaller region's adjacencies and bounds
// how far the larger one's weights can have dropped by how far its mean
// moved, so it stays near E log E on such inputs too (uniform noise).
// Throws std::invalid_argument for bad input; polls for
// interruption.
PartitionTree buildPartitionTree(const PartitionInput& input);

}  // namespace vexa
