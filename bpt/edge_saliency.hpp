#pragma once
// The saliency of a hierarchy on the pixels of a grid: for every two pixels
// one step apart along an axis, the altitude of the smallest node holding
// both (their lowest common ancestor).
#include <cstdint>
#include <vector>

#include "core/runtime/reused_memory.hpp"
#include "core/trees/checked_tree.hpp"
#include "core/trees/component_forest.hpp"

namespace vexa {

// Per axis of the grid (planes, rows, columns for a volume; rows, columns
// for an image), the altitude of the lowest common ancestor of the nodes of
// each pixel pair (z, y, x) -- (z, y, x) + one step along that axis,
// row-major over the grid shortened by one along the axis. pixelToNode gives
// each pixel's node (std::invalid_argument naming a pixel when out of range),
// altitudes each node's altitude. The arrays come from the reused blocks
// (core/reused_memory.hpp).
//
// One pass over the nodes, children first, joins the pixels of each node's
// subtree in a union-find forest (union by rank, no path compression), each
// link stamped with its node's place in the pass; the ancestor of two pixels
// is the node of the largest stamp on their forest paths to the root they
// meet at, found by climbing the side of smaller stamp first. Linear in
// the nodes, O(log pixels) per pair at worst, a few steps in practice.
std::vector<ReusedVector<double>> gridEdgeSaliency(const CheckedTree& tree, const int64_t* pixelToNode,
                                                   const double* altitudes, const Grid& grid, int ndim);

// For a 2-D grid, the same on the Khalimsky grid (2 height - 1) x (2 width
// - 1): (2i, 2j + 1) the pair (i, j) -- (i, j + 1), (2i + 1, 2j) the pair
// (i, j) -- (i + 1, j), (2i + 1, 2j + 1) the largest of its four pairs, and
// 0 on the pixels (2i, 2j).
ReusedVector<double> khalimskySaliency(const CheckedTree& tree, const int64_t* pixelToNode, const double* altitudes,
                                       const Grid& grid);

}  // namespace vexa
