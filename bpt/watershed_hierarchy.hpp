#pragma once
// Hierarchical watersheds of images, computed as in Najman, Cousty and
// Perret, "Playing with Kruskal" (ISMM 2013): the binary partition tree by
// altitude ordering of the pixel graph (Kruskal's algorithm), a regional
// attribute of its nodes, the extinction value of each merge, and the binary
// partition tree by altitude ordering of the minimum spanning tree
// re-weighted by those values.
#include <cstdint>
#include <string>
#include <vector>

#include "core/trees/any_tree.hpp"

namespace vexa {

// The weight of the edge between two neighbouring pixels of values a, b.
enum class EdgeWeight { Mean, Max, Min, L1 };  // (a + b) / 2, max, min, |a - b|
// The regional attribute whose extinction values order the basins.
enum class BasinAttribute { Area, Volume, Dynamics };

// The names "mean", "max", "min", "l1" and "area", "volume", "dynamics";
// std::invalid_argument naming what was received otherwise.
EdgeWeight parseEdgeWeight(const std::string& name);
BasinAttribute parseBasinAttribute(const std::string& name);

// A binary tree over L leaves listed children first: the leaves 0..L-1,
// then merge m as node L + m; the root is the last node.
struct MergeTree {
    uint32_t numLeaves = 0;
    std::vector<uint32_t> parents;   // 2L - 1 entries; the root's is kNoNode
    std::vector<uint32_t> children;  // 2 per merge, ascending
    std::vector<double> altitudes;   // per merge
    std::vector<uint32_t> ends;      // 2 per merge: the pixel pair whose edge made it

    uint32_t numNodes() const { return uint32_t(parents.size()); }
    // Altitude of any node: 0 for leaves.
    double altitude(uint32_t node) const { return node < numLeaves ? 0.0 : altitudes[node - numLeaves]; }
};

// The binary partition tree by altitude ordering of the image's pixel graph
// (neighbours at most `connectivity` orthogonal steps apart; 1: 4- or
// 6-adjacency; ndim: 8- or 26-adjacency): the edges in ascending weight,
// ties in the order of the scan (pixel, then neighbour step in lexicographic
// order of (plane, row, column) offsets), each edge joining two components
// making one merge. Refuses NaN and infinite values, naming a pixel.
MergeTree altitudeOrderingTree(const AnyImage& image, int ndim, int connectivity, EdgeWeight weight);

// Per node of `tree`, the attribute (leaves included): area (leaves count
// 1), volume (sum over the node and its descendants of |altitude - parent's
// altitude| x area, leaves 0) or dynamics (the extinction value of the
// height: the altitude of the parent minus the lowest altitude of a merge
// below, carried down the branch of the lowest merge).
std::vector<double> basinAttribute(const MergeTree& tree, BasinAttribute attribute);

// The watershed hierarchy of `tree` for the per-node `attribute` (2L - 1
// values, increasing from leaves to root): each merge of `tree` is re-weighted
// by the smaller extinction value of its two children (a node at the altitude
// of its parent counts with the largest value of its children, leaves with
// 0), and the merges' pixel pairs are joined again in ascending new weight,
// ties in merge order.
MergeTree watershedFromAttribute(const MergeTree& tree, const double* attribute);

// The tree as a parent array (int64, -1 for the root) and altitudes per
// node (0 for leaves).
void flatten(const MergeTree& tree, int64_t* parents, double* altitudes);

// A tree given by such arrays, back: parents listed children first with
// exactly two children per merge, ends 2 per merge. Throws
// std::invalid_argument naming what is wrong.
MergeTree mergeTreeOf(const int64_t* parents, const double* altitudes, const uint32_t* ends, size_t numNodes,
                      uint64_t numPixels);

}  // namespace vexa
