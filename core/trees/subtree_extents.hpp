#pragma once
// Per-node reductions over subtrees for trees whose every parent id is
// smaller than its children's: one reverse pass over the ids.
#include <cstddef>
#include <cstdint>

#include "core/trees/component_forest.hpp"

namespace vexa {

// Throws std::invalid_argument unless parents[i] is -1 or in [0, i).
void checkParentsBeforeChildren(const int64_t* parents, size_t numNodes);

// For every node, the node of its subtree with the largest value (highest)
// or the smallest (!highest), the largest id among equal values: the
// extreme of each component, e.g. its highest maximum in a max-tree. out
// receives numNodes ids. Values must not be NaN. Checks the parents.
template <typename T>
void subtreeExtremes(const int64_t* parents, size_t numNodes, const T* values, bool highest, int64_t* out);

// Bounding box of each node's component: out is numNodes x ndim x 2 (lowest,
// highest coordinate), axes slowest first. pixelNode holds a node id per
// pixel of the grid (throws std::invalid_argument for ids out of range).
void subtreeBoxes(const int64_t* pixelNode, const Grid& grid, int ndim, const int64_t* parents, size_t numNodes,
                  int64_t* out);

}  // namespace vexa
