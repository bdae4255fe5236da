#pragma once
#include <cstdint>
#include <vector>

#include "bpt/linkage.hpp"
#include "core/geometry/grid.hpp"

namespace vexa {

// The adjacency graph of regions, made to be merged: every region keeps its
// adjacencies in a singly linked list of edge ends, so the lists of two
// merged regions are joined in constant time. An edge has two ends, 2e and
// 2e + 1, each in the list of the region it starts from; an end names the
// region it started from when the edge was made, and the merging resolves
// that name to the current region. Edges found twice (after a merge) are
// killed and dropped from the lists when next walked.
class RegionGraph {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    explicit RegionGraph(uint32_t numRegions) : head_(numRegions, kNone), tail_(numRegions, kNone) {}

    uint32_t numEdges() const { return uint32_t(ends_.size() / 2); }
    uint32_t addEdge(uint32_t a, uint32_t b);
    void reserve(uint64_t edges) { ends_.reserve(2 * edges); }
    void kill(uint32_t edge) { ends_[2 * edge].origin = kNone; }
    bool alive(uint32_t edge) const { return ends_[2 * edge].origin != kNone; }
    // The region the far end of `end` started from.
    uint32_t farOrigin(uint32_t end) const { return ends_[end ^ 1u].origin; }
    // Names the far end's current region, so later walks resolve it at once.
    void renameFar(uint32_t end, uint32_t region) { ends_[end ^ 1u].origin = region; }

    // Appends the list of `from` to the list of `into`; `from` is left empty.
    void join(uint32_t into, uint32_t from);

    // Walks the ends of `region`'s list; visit(end) returns false to drop the
    // end from the list. Ends of killed edges are dropped without a visit.
    template <typename Visit>
    void walk(uint32_t region, Visit&& visit) {
        uint32_t previous = kNone;
        for (uint32_t end = head_[region]; end != kNone;) {
            const uint32_t following = ends_[end].next;
            if (alive(end >> 1) && visit(end)) {
                previous = end;
            } else if (previous == kNone) {
                head_[region] = following;
            } else {
                ends_[previous].next = following;
            }
            end = following;
        }
        tail_[region] = previous;
    }

private:
    void append(uint32_t region, uint32_t end);

    // The two ends of an edge side by side: a walk reads an end's successor,
    // its edge's life and its far region from one cache line.
    struct End {
        uint32_t origin;  // region it started from; kNone at 2e: edge killed
        uint32_t next;    // next end in the same list
    };
    std::vector<End> ends_;
    std::vector<uint32_t> head_;  // by region
    std::vector<uint32_t> tail_;  // by region
};

// The adjacencies between the leaves of a grid, with the border data of
// each when the linkage needs it. `leafOf` gives the leaf of each pixel (null:
// every pixel is its own leaf), `values` the pixels' values, `channels` per
// pixel. Neighbours are the pixels at most `connectivity` orthogonal steps
// away (1: 4- or 6-neighbourhood; ndim: 8- or 26-neighbourhood). An
// adjacency between two leaves appears once (duplicates are merged).
struct LeafGraph {
    RegionGraph graph;
    std::vector<BorderData> border;  // by edge; empty unless usesBorderWeights
};
LeafGraph buildLeafGraph(const Grid& grid, int ndim, int connectivity, const uint32_t* leafOf, uint32_t numLeaves,
                         const double* values, uint32_t channels, Linkage linkage);

}  // namespace vexa
