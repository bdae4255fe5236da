#pragma once
// The component tree of a vertex-weighted graph: the nodes are the connected
// components of the vertices up to each rank. Pixel floods build trees of
// grids; this builds them of any graph (the seams between the bands of a
// flood, graphs of regions).
#include <cstdint>
#include <vector>

#include "core/runtime/reused_memory.hpp"

namespace vexa {

constexpr uint32_t kNoParent = 0xFFFFFFFFu;

// Vertices 0..n-1 with integer ranks (lower rank = deeper in the tree =
// processed first; equal ranks that an edge joins are one node), edges
// (u[i], v[i]), self-loops and repeats allowed. Result: per vertex, for a
// canonical vertex the canonical vertex of its parent node (kNoParent for
// the root of each connected component of the graph), for a non-canonical
// vertex its node's canonical vertex (same rank). Deterministic: ties of
// rank are processed in increasing vertex id, and the canonical vertex of a
// node is the one processed last (the highest id among its same-rank
// vertices). Throws std::invalid_argument for n = kNoParent or a vertex id
// not below n; polls for interrupts. The sort and the passes over every
// vertex run on up to `threads` threads. A caller that knows a processing
// order of the vertices (every vertex once, ranks non-decreasing) may give
// it instead of the sort: ties are then processed in that order, and a
// node's canonical vertex is its last there.
ReusedVector<uint32_t> graphComponentTree(const uint64_t* rank, uint32_t n, const uint32_t* u, const uint32_t* v,
                                          uint64_t m, unsigned threads = 1, const uint32_t* processing = nullptr);

}  // namespace vexa
