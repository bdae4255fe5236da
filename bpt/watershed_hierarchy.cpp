#include "bpt/watershed_hierarchy.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/trees/level_keys.hpp"
#include "core/trees/node_id.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

EdgeWeight parseEdgeWeight(const std::string& name) {
    if (name == "mean") return EdgeWeight::Mean;
    if (name == "max") return EdgeWeight::Max;
    if (name == "min") return EdgeWeight::Min;
    if (name == "l1") return EdgeWeight::L1;
    throw std::invalid_argument("edge_weight must be 'mean', 'max', 'min' or 'l1', got '" + name + "'");
}

BasinAttribute parseBasinAttribute(const std::string& name) {
    if (name == "area") return BasinAttribute::Area;
    if (name == "volume") return BasinAttribute::Volume;
    if (name == "dynamics") return BasinAttribute::Dynamics;
    throw std::invalid_argument("attribute must be 'area', 'volume' or 'dynamics', got '" + name + "'");
}

namespace {

// The double whose levelKey is `key`.
double keyValue(uint64_t key) {
    const uint64_t bits = key & 0x8000000000000000ull ? key & ~0x8000000000000000ull : ~key;
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

// Sorts ids by key, stably (ids of equal keys keep their order): an LSD
// radix sort a byte at a time, all eight histograms counted in one pass and
// the bytes every key shares skipped.
void sortByKey(ReusedVector<uint64_t>& keys, ReusedVector<uint32_t>& ids) {
    const size_t n = keys.size();
    std::vector<uint64_t> histogram(8 * 256, 0);
    InterruptPoll poll;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t k = keys[i];
        for (unsigned b = 0; b < 8; ++b) ++histogram[b * 256 + ((k >> (8 * b)) & 0xFF)];
        poll.step(8);
    }
    ReusedVector<uint64_t> spareKeys;
    ReusedVector<uint32_t> spareIds;
    for (unsigned b = 0; b < 8; ++b) {
        uint64_t* count = histogram.data() + b * 256;
        if (std::any_of(count, count + 256, [&](uint64_t c) { return c == n; })) continue;
        if (spareKeys.empty()) {
            spareKeys.resize(n);
            spareIds.resize(n);
        }
        uint64_t start = 0;
        for (unsigned v = 0; v < 256; ++v) {
            const uint64_t c = count[v];
            count[v] = start;
            start += c;
        }
        const unsigned shift = 8 * b;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t to = count[(keys[i] >> shift) & 0xFF]++;
            spareKeys[to] = keys[i];
            spareIds[to] = ids[i];
            poll.step(4);
        }
        keys.swap(spareKeys);
        ids.swap(spareIds);
    }
}

// Union-find over the leaves, with each component's current node. A leaf's
// link and node share a cache line: a find and the join after it touch one
// line per element. Leaves number below 2^31.
class Components {
public:
    explicit Components(uint32_t n) : cells_(n) {
        for (uint32_t i = 0; i < n; ++i) cells_[i] = {-1, i};
    }
    void prefetch(uint32_t x) const { __builtin_prefetch(&cells_[x]); }
    uint32_t find(uint32_t x) {
        for (;;) {  // path halving
            const int32_t up = cells_[x].link;
            if (up < 0) return x;
            const int32_t above = cells_[up].link;
            if (above < 0) return uint32_t(up);
            cells_[x].link = above;
            x = uint32_t(above);
        }
    }
    uint32_t node(uint32_t root) const { return cells_[root].node; }
    // Joins the components of roots a != b, by rank, into one whose node is `node`.
    void join(uint32_t a, uint32_t b, uint32_t node) {
        int32_t rankA = cells_[a].link, rankB = cells_[b].link;  // -(rank + 1)
        if (rankA > rankB) {
            std::swap(a, b);
            std::swap(rankA, rankB);
        }
        cells_[b].link = int32_t(a);
        if (rankA == rankB) cells_[a].link = rankA - 1;
        cells_[a].node = node;
    }

private:
    struct Cell {
        int32_t link;   // the parent, or -(rank + 1) for a root
        uint32_t node;  // for a root, the component's node
    };
    ReusedVector<Cell> cells_;
};

MergeTree emptyTree(uint32_t numLeaves) {
    MergeTree t;
    t.numLeaves = numLeaves;
    t.parents.resize(2 * uint64_t(numLeaves) - 1);
    t.parents.back() = kNoNode;
    t.children.resize(2 * uint64_t(numLeaves - 1));
    t.altitudes.resize(numLeaves - 1);
    t.ends.resize(2 * uint64_t(numLeaves - 1));
    return t;
}

// Kruskal's algorithm on edges taken in the order 0..count-1: ends(i) gives
// the pixel pair of the i-th, weight(i) its weight. Stops once every leaf
// is joined. The pairs a few edges ahead are fetched early: the finds are
// what costs, one cache miss each on large images.
template <typename Ends, typename Weight>
MergeTree kruskal(uint32_t numLeaves, size_t count, Ends ends, Weight weight) {
    MergeTree t = emptyTree(numLeaves);
    Components components(numLeaves);
    const uint32_t merges = numLeaves - 1;
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < std::min(count, kAhead); ++i) {
        const auto [u, v] = ends(i);
        components.prefetch(u);
        components.prefetch(v);
    }
    uint32_t m = 0;
    InterruptPoll poll;
    for (size_t i = 0; i < count && m < merges; ++i) {
        poll.step();
        if (i + kAhead < count) {
            const auto [u, v] = ends(i + kAhead);
            components.prefetch(u);
            components.prefetch(v);
        }
        const auto [u, v] = ends(i);
        const uint32_t ru = components.find(u), rv = components.find(v);
        if (ru == rv) continue;
        const uint32_t nu = components.node(ru), nv = components.node(rv);
        t.children[2 * size_t(m)] = std::min(nu, nv);
        t.children[2 * size_t(m) + 1] = std::max(nu, nv);
        t.altitudes[m] = weight(i);
        t.ends[2 * size_t(m)] = u;
        t.ends[2 * size_t(m) + 1] = v;
        components.join(ru, rv, numLeaves + m);
        ++m;
    }
    if (m != merges) throw std::invalid_argument("the graph is not connected");
    for (uint32_t k = 0; k < merges; ++k)
        t.parents[t.children[2 * size_t(k)]] = t.parents[t.children[2 * size_t(k) + 1]] = numLeaves + k;
    return t;
}

double edgeWeight(EdgeWeight kind, double a, double b) {
    switch (kind) {
        case EdgeWeight::Mean:
            return (a + b) / 2;
        case EdgeWeight::Max:
            return std::max(a, b);
        case EdgeWeight::Min:
            return std::min(a, b);
        case EdgeWeight::L1:
            return std::fabs(a - b);
    }
    return 0;
}

template <typename T>
void refuseNonFinite(const T* values, uint64_t n) {
    if constexpr (std::is_floating_point_v<T>) {
        InterruptPoll poll;
        for (uint64_t p = 0; p < n; ++p) {
            poll.step();
            if (!std::isfinite(values[p]))
                throw std::invalid_argument("image values must be finite; pixel " + std::to_string(p) + " holds " +
                                            std::to_string(values[p]));
        }
    }
}

struct Step {
    int32_t dz, dy, dx;
    int64_t delta;  // in pixel indices
};

// Keys of the edges' weights and their ids (pixel << shift | step), in scan
// order.
template <typename T>
void gridEdges(const T* values, const Grid& grid, const std::vector<Step>& steps, unsigned shift, EdgeWeight kind,
               ReusedVector<uint64_t>& keys, ReusedVector<uint32_t>& ids) {
    refuseNonFinite(values, grid.numPixels());
    uint64_t count = 0;
    for (const Step& s : steps)
        count += uint64_t(grid.depth - std::abs(s.dz)) * (grid.height - std::abs(s.dy)) * (grid.width - std::abs(s.dx));
    keys.resize(count);
    ids.resize(count);
    uint64_t e = 0;
    InterruptPoll poll;
    const int64_t depth = grid.depth, height = grid.height, width = grid.width;
    for (int64_t z = 0; z < depth; ++z)
        for (int64_t y = 0; y < height; ++y) {
            poll.step(uint32_t(width * steps.size()));
            const int64_t row = (z * height + y) * width;
            for (int64_t x = 0; x < width; ++x) {
                const int64_t p = row + x;
                const double a = double(values[p]);
                for (uint32_t k = 0; k < steps.size(); ++k) {
                    const Step& s = steps[k];
                    if (z + s.dz >= depth || y + s.dy < 0 || y + s.dy >= height || x + s.dx < 0 || x + s.dx >= width)
                        continue;
                    keys[e] = levelKey(edgeWeight(kind, a, double(values[p + s.delta])));
                    ids[e] = uint32_t(uint64_t(p) << shift | k);
                    ++e;
                }
            }
        }
}

}  // namespace

MergeTree altitudeOrderingTree(const AnyImage& image, int ndim, int connectivity, EdgeWeight weight) {
    const Grid& grid = image.grid;
    const uint64_t n = grid.numPixels();
    if (n == 0) throw std::invalid_argument("image is empty");
    std::vector<Step> steps;
    for (const GridOffset& o : connectivityOffsets(grid, ndim, connectivity)) {
        const bool forward = o.dz > 0 || (o.dz == 0 && (o.dy > 0 || (o.dy == 0 && o.dx > 0)));
        if (forward)
            steps.push_back({o.dz, o.dy, o.dx, (int64_t(o.dz) * grid.height + o.dy) * int64_t(grid.width) + o.dx});
    }
    unsigned shift = 0;
    while ((size_t(1) << shift) < std::max<size_t>(steps.size(), 1)) ++shift;
    if ((n << shift) > 0xFFFFFFFFull || n >= (uint64_t(1) << 31))
        throw std::invalid_argument("image is too large: " + std::to_string(n) + " pixels at connectivity " +
                                    std::to_string(connectivity) + " give more than 2^32 pixel pairs");
    if (n == 1) return emptyTree(1);
    ReusedVector<uint64_t> keys;
    ReusedVector<uint32_t> ids;
    switch (image.type) {
#define VEXA_EDGES(TYPE, CTYPE)                                                                  \
    case PixelType::TYPE:                                                                        \
        gridEdges(static_cast<const CTYPE*>(image.data), grid, steps, shift, weight, keys, ids); \
        break;
        VEXA_EDGES(Bool, bool)
        VEXA_EDGES(UInt8, uint8_t)
        VEXA_EDGES(Int8, int8_t)
        VEXA_EDGES(UInt16, uint16_t)
        VEXA_EDGES(Int16, int16_t)
        VEXA_EDGES(UInt32, uint32_t)
        VEXA_EDGES(Int32, int32_t)
        VEXA_EDGES(Int64, int64_t)
        VEXA_EDGES(Float32, float)
        VEXA_EDGES(Float64, double)
#undef VEXA_EDGES
    }
    sortByKey(keys, ids);
    const uint32_t mask = (uint32_t(1) << shift) - 1;
    return kruskal(
        uint32_t(n), ids.size(),
        [&](size_t i) {
            const uint32_t p = ids[i] >> shift;
            return std::pair<uint32_t, uint32_t>(p, uint32_t(int64_t(p) + steps[ids[i] & mask].delta));
        },
        [&](size_t i) { return keyValue(keys[i]); });
}

std::vector<double> basinAttribute(const MergeTree& t, BasinAttribute attribute) {
    const uint32_t leaves = t.numLeaves, nodes = t.numNodes(), root = nodes - 1;
    std::vector<double> area(nodes, 1.0);
    for (uint32_t m = 0; m + 1 < leaves; ++m) area[leaves + m] = area[t.children[2 * m]] + area[t.children[2 * m + 1]];
    if (attribute == BasinAttribute::Area) return area;
    auto parentAltitude = [&](uint32_t n) { return t.altitude(n == root ? n : t.parents[n]); };
    std::vector<double> result(nodes, 0.0);
    if (attribute == BasinAttribute::Volume) {
        for (uint32_t n = leaves; n < nodes; ++n) {
            const uint32_t m = n - leaves;
            result[n] = std::fabs(t.altitude(n) - parentAltitude(n)) * area[n];
            result[n] += result[t.children[2 * m]];
            result[n] += result[t.children[2 * m + 1]];
        }
        return result;
    }
    // Dynamics: the lowest merge below each merge, and the child it lies in
    // (the first in id order among equals); the height of a merge measured
    // from its parent's altitude is carried down that child's branch.
    std::vector<double> lowest(nodes, 0.0);
    std::vector<uint32_t> lowChild(nodes, kNoNode);
    for (uint32_t n = leaves; n < nodes; ++n) {
        const uint32_t m = n - leaves;
        double low = t.altitude(n);
        for (int j = 0; j < 2; ++j) {
            const uint32_t c = t.children[2 * m + j];
            if (c >= leaves && (lowChild[n] == kNoNode || lowest[c] < low)) {
                low = lowest[c];
                lowChild[n] = c;
            }
        }
        lowest[n] = low;
    }
    result[root] = t.altitude(root) - lowest[root];
    for (uint32_t n = root; n-- > leaves;) {
        const uint32_t p = t.parents[n];
        result[n] = lowChild[p] == n ? result[p] : t.altitude(p) - lowest[n];
    }
    return result;
}

MergeTree watershedFromAttribute(const MergeTree& t, const double* attribute) {
    const uint32_t leaves = t.numLeaves, nodes = t.numNodes(), root = nodes - 1;
    if (leaves == 1) return emptyTree(1);
    // Extinction values: a node at its parent's altitude is not a basin of
    // its own; it counts with the largest value of its children.
    ReusedVector<double> corrected(nodes, 0.0);
    ReusedVector<double> weight(leaves - 1);
    InterruptPoll poll;
    for (uint32_t n = leaves; n < nodes; ++n) {
        poll.step();
        const uint32_t m = n - leaves;
        const double a = corrected[t.children[2 * m]], b = corrected[t.children[2 * m + 1]];
        weight[m] = std::min(a, b);
        corrected[n] = n == root || t.altitude(n) != t.altitude(t.parents[n]) ? attribute[n] : std::max(a, b);
    }
    ReusedVector<uint64_t> keys(leaves - 1);
    ReusedVector<uint32_t> order(leaves - 1);
    for (uint32_t m = 0; m + 1 < leaves; ++m) {
        if (std::isnan(weight[m]))
            throw std::invalid_argument("the attribute of node " + std::to_string(m + leaves) +
                                        " or of a child is NaN");
        keys[m] = levelKey(weight[m]);
        order[m] = m;
    }
    sortByKey(keys, order);
    // The pairs in that order, gathered in one pass of independent reads.
    ReusedVector<uint64_t> pairs(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        uint64_t pair;
        std::memcpy(&pair, &t.ends[2 * size_t(order[i])], 8);
        pairs[i] = pair;
    }
    return kruskal(
        leaves, pairs.size(),
        [&](size_t i) {
            uint32_t pair[2];
            std::memcpy(pair, &pairs[i], 8);
            return std::pair<uint32_t, uint32_t>(pair[0], pair[1]);
        },
        [&](size_t i) { return keyValue(keys[i]); });
}

void flatten(const MergeTree& t, int64_t* parents, double* altitudes) {
    const uint32_t nodes = t.numNodes(), leaves = t.numLeaves;
    for (uint32_t n = 0; n < nodes; ++n) parents[n] = t.parents[n] == kNoNode ? -1 : int64_t(t.parents[n]);
    std::fill(altitudes, altitudes + leaves, 0.0);
    std::copy(t.altitudes.begin(), t.altitudes.end(), altitudes + leaves);
}

MergeTree mergeTreeOf(const int64_t* parents, const double* altitudes, const uint32_t* ends, size_t numNodes,
                      uint64_t numPixels) {
    if (numNodes != 2 * numPixels - 1)
        throw std::invalid_argument("a tree over " + std::to_string(numPixels) + " pixels has " +
                                    std::to_string(2 * numPixels - 1) + " nodes, got " + std::to_string(numNodes));
    const std::vector<NodeId> ids = childrenFirstNodeIdsOf(parents, numNodes, 2);
    MergeTree t = emptyTree(uint32_t(numPixels));
    std::vector<uint8_t> filled(numPixels - 1, 0);
    for (size_t i = 0; i + 1 < numNodes; ++i) {
        if (ids[i] == kNoNode) throw std::invalid_argument("node " + std::to_string(i) + " has no parent");
        if (ids[i] < numPixels) throw std::invalid_argument("leaf " + std::to_string(ids[i]) + " has a child");
        const uint32_t m = ids[i] - uint32_t(numPixels);
        t.children[2 * size_t(m) + filled[m]++] = uint32_t(i);
        t.parents[i] = ids[i];
    }
    for (uint32_t m = 0; m + 1 < numPixels; ++m) {
        if (filled[m] != 2)
            throw std::invalid_argument("node " + std::to_string(m + numPixels) + " does not have two children");
        t.altitudes[m] = altitudes[numPixels + m];
        for (int j = 0; j < 2; ++j) {
            if (ends[2 * size_t(m) + j] >= numPixels)
                throw std::invalid_argument("merge " + std::to_string(m) + " names pixel " +
                                            std::to_string(ends[2 * size_t(m) + j]) + ", outside the image");
            t.ends[2 * size_t(m) + j] = ends[2 * size_t(m) + j];
        }
    }
    return t;
}

}  // namespace vexa
