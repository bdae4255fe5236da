#include "bpt/region_graph.hpp"

#include <stdexcept>

#include "core/geometry/adjacency.hpp"
#include "core/runtime/interrupt.hpp"

namespace vexa {

uint32_t RegionGraph::addEdge(uint32_t a, uint32_t b) {
    const uint32_t edge = numEdges();
    ends_.push_back({a, kNone});
    ends_.push_back({b, kNone});
    append(a, 2 * edge);
    append(b, 2 * edge + 1);
    return edge;
}

void RegionGraph::append(uint32_t region, uint32_t end) {
    if (tail_[region] == kNone) head_[region] = end;
    else ends_[tail_[region]].next = end;
    tail_[region] = end;
}

void RegionGraph::join(uint32_t into, uint32_t from) {
    if (head_[from] == kNone) return;
    if (tail_[into] == kNone) head_[into] = head_[from];
    else ends_[tail_[into]].next = head_[from];
    tail_[into] = tail_[from];
    head_[from] = tail_[from] = kNone;
}

namespace {

// The forward half of the neighbourhood: the steps of the connectivity whose
// first non-zero step is positive, in their order (each unordered pixel pair
// is met once).
std::vector<GridOffset> forwardOffsets(int ndim, int connectivity) {
    std::vector<GridOffset> offsets;
    for (const GridOffset& o : connectivityOffsets(ndim, connectivity))
        if (o.dz > 0 || (o.dz == 0 && (o.dy > 0 || (o.dy == 0 && o.dx > 0)))) offsets.push_back(o);
    return offsets;
}

}  // namespace

LeafGraph buildLeafGraph(const Grid& grid, int ndim, int connectivity, const uint32_t* leafOf, uint32_t numLeaves,
                         const double* values, uint32_t channels, Linkage linkage) {
    LeafGraph out{RegionGraph(numLeaves), {}};
    RegionGraph& graph = out.graph;
    const bool weighted = usesBorderWeights(linkage);
    const std::vector<GridOffset> offsets = forwardOffsets(ndim, connectivity);
    const int64_t planes = grid.depth, rows = grid.height, cols = grid.width;
    // Edge ends are numbered with 32 bits.
    if (2 * offsets.size() * grid.numPixels() >= RegionGraph::kNone)
        throw std::invalid_argument("the image has too many pixel pairs at this connectivity");
    if (!leafOf) graph.reserve(offsets.size() * grid.numPixels());

    // Along a border, the same two leaves meet pixel after pixel through the
    // same offset: that pair's last edge takes the new pixel pair directly.
    std::vector<uint32_t> lastEdge(offsets.size(), RegionGraph::kNone);
    InterruptPoll poll;
    for (int64_t z = 0; z < planes; ++z)
        for (int64_t y = 0; y < rows; ++y) {
            poll.step(uint32_t(cols));
            for (int64_t x = 0; x < cols; ++x) {
                const int64_t p = (z * rows + y) * cols + x;
                const uint32_t a = leafOf ? leafOf[p] : uint32_t(p);
                for (size_t k = 0; k < offsets.size(); ++k) {
                    const GridOffset& o = offsets[k];
                    const int64_t nz = z + o.dz, ny = y + o.dy, nx = x + o.dx;
                    if (nz >= planes || ny < 0 || ny >= rows || nx < 0 || nx >= cols) continue;
                    const int64_t q = (nz * rows + ny) * cols + nx;
                    const uint32_t b = leafOf ? leafOf[q] : uint32_t(q);
                    if (a == b) continue;
                    uint32_t edge = lastEdge[k];
                    const bool same = edge != RegionGraph::kNone &&
                                      ((graph.farOrigin(2 * edge + 1) == a && graph.farOrigin(2 * edge) == b) ||
                                       (graph.farOrigin(2 * edge + 1) == b && graph.farOrigin(2 * edge) == a));
                    if (!same) {
                        edge = lastEdge[k] = graph.addEdge(a, b);
                        if (weighted) out.border.emplace_back();
                    }
                    if (weighted)
                        out.border[edge].add(linkage,
                                             pixelDistance(values + p * channels, values + q * channels, channels), 1.0,
                                             double(p) * double(offsets.size()) + double(k));
                }
            }
        }

    // Each leaf's list now names each neighbour once: later pairs of the
    // same two leaves are folded into the first edge.
    std::vector<uint32_t> seenBy(numLeaves, RegionGraph::kNone), firstEdge(numLeaves);
    if (leafOf)
        for (uint32_t leaf = 0; leaf < numLeaves; ++leaf) {
            poll.step();
            graph.walk(leaf, [&](uint32_t end) {
                const uint32_t other = graph.farOrigin(end), edge = end >> 1;
                if (seenBy[other] != leaf) {
                    seenBy[other] = leaf;
                    firstEdge[other] = edge;
                    return true;
                }
                if (weighted) out.border[firstEdge[other]].absorb(linkage, out.border[edge]);
                graph.kill(edge);
                return false;
            });
        }
    return out;
}

}  // namespace vexa
