#pragma once
#include <cstdint>
#include <vector>

#include "core/runtime/span.hpp"

// Label maps of the partitions a binary partition tree holds. The tree is a
// parent array with children before parents: its leaves first, then its
// merged nodes in the order they were made (-1 marks a root); pixels name
// their leaf by position.
namespace vexa {

// The label map where pixels share a label when they are joined by merges
// whose node has `joined` set (one flag per node; leaves' flags are unused).
// Labels count from 0 in the order of each region's first pixel.
std::vector<int32_t> cutJoined(Span<int64_t> parents, Span<int64_t> pixelToLeaf, Span<uint8_t> joined);

// The label map of the `regions` regions left after the first merges: the
// merged nodes are the positions past the leaves, in merge order. Throws
// std::invalid_argument when `regions` is not between the number of roots
// and the number of leaves, or when a merged node comes before a leaf.
std::vector<int32_t> cutRegions(Span<int64_t> parents, Span<int64_t> pixelToLeaf, int64_t regions);

// The label map where pixels share a label when they are joined by merges
// at altitude at most `threshold`, where a merge counts at the greatest
// altitude within its subtree (so a region never splits as the threshold
// grows, even when a linkage merges below its children's altitudes).
// `altitudes` has one value per node; leaves' values are unused.
std::vector<int32_t> cutAt(Span<int64_t> parents, Span<int64_t> pixelToLeaf, Span<double> altitudes, double threshold);

}  // namespace vexa
