#pragma once
// Final node ids of a flooded forest. Ids follow the reverse processing
// order of each node's last processed pixel: ranks from the last processed
// down, within a rank by descending largest pixel index. So a parent always
// has a smaller id than its children, and the numbering is the same however
// many bands the forest was flooded in.
#include <algorithm>
#include <memory>
#include <vector>

#include "core/runtime/parallel.hpp"
#include "core/trees/component_forest.hpp"
#include "core/trees/level_keys.hpp"
#include "core/trees/marked_positions.hpp"

namespace vexa {

struct NodeNumbering {
    static constexpr uint32_t kNoId = 0xFFFFFFFFu;
    uint32_t numNodes = 0;
    // Ids of rank r are [firstId[r], firstId[r] + count) with count =
    // (r == 0 ? numNodes : firstId[r - 1]) - firstId[r].
    std::vector<uint32_t> firstId;
    ReusedVector<uint32_t> idOf;  // per live component number
    uint32_t endOfRank(uint64_t r) const { return r == 0 ? numNodes : firstId[r - 1]; }
};

namespace numbering {

// Relaxed atomic access: a band may read an id that another band is
// writing; once written an id never changes.
inline uint32_t load(const uint32_t& v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
inline void store(uint32_t& v, uint32_t x) { __atomic_store_n(&v, x, __ATOMIC_RELAXED); }

}  // namespace numbering

// Numbers the live components and rewrites componentOf into node ids. The
// backward pixel scan that meets each rank's nodes in id order runs per band
// in parallel: a node belongs to the last band holding one of its pixels,
// and the other bands take its id when it is known, or in a short second
// pass. Per-band counters cost bands x ranks words; beyond a bound the scan
// runs as one band.
template <typename Rank>
NodeNumbering numberNodes(BasicComponentForest<Rank>& forest, uint64_t numRanks, unsigned threads) {
    using Band = typename BasicComponentForest<Rank>::Band;
    constexpr uint32_t kNoId = NodeNumbering::kNoId;
    const std::vector<Band>& bands = forest.bands;
    const size_t k = numRanks * bands.size() <= (uint64_t(1) << 22) ? bands.size() : 1;
    const uint64_t n = forest.componentOf.size();
    const uint32_t endComp = bands.back().end;

    // Band of each live component that gathers pixels of later bands.
    auto originOf = [&](uint32_t c) {
        size_t b = 0;
        while (b + 1 < bands.size() && c >= bands[b + 1].first) ++b;
        return b;
    };
    std::vector<std::pair<uint32_t, uint32_t>> farHome;  // (component, band), sorted by component
    if (k > 1) {
        for (uint32_t c : forest.fused) {
            const uint32_t L = forest.live(c);
            const uint32_t b = uint32_t(originOf(c));
            if (b > originOf(L)) farHome.push_back({L, b});
        }
        std::sort(farHome.begin(), farHome.end());
        // Keep the largest band of each component.
        std::vector<std::pair<uint32_t, uint32_t>> last;
        for (const auto& e : farHome) {
            if (!last.empty() && last.back().first == e.first) last.back().second = e.second;
            else last.push_back(e);
        }
        farHome.swap(last);
    }
    // A bit per component number marks those with a far home, which a
    // table (touched only at those numbers) gives.
    std::vector<uint64_t> hasFarHome(k > 1 ? (uint64_t(endComp) + 63) / 64 : 0, 0);
    std::unique_ptr<uint16_t[]> farHomeTable(k > 1 && !farHome.empty() ? new uint16_t[endComp] : nullptr);
    for (const auto& e : farHome) {
        hasFarHome[e.first >> 6] |= uint64_t(1) << (e.first & 63);
        farHomeTable[e.first] = uint16_t(e.second);
    }
    auto farHomeOf = [&](uint32_t L) -> int64_t {
        return hasFarHome[L >> 6] >> (L & 63) & 1 ? int64_t(farHomeTable[L]) : -1;
    };

    // Live components per (band of the scan, rank).
    NodeNumbering result;
    result.idOf.resize(std::max<uint32_t>(endComp, 1));
    std::vector<uint32_t> counts(k * numRanks, 0);
    const Rank* ranks = forest.ranks.data();
    parallelFor(bands.size(), threads, [&](size_t b) {
        std::fill(result.idOf.data() + bands[b].first, result.idOf.data() + bands[b].end, kNoId);
        if (k == 1) return;
        uint32_t* count = counts.data() + b * numRanks;
        for (uint32_t c = bands[b].first; c < bands[b].end; ++c)
            if (forest.isLive(c)) ++count[ranks[c]];
    });
    if (k == 1) {
        for (const Band& band : bands)
            for (uint32_t c = band.first; c < band.end; ++c)
                if (forest.isLive(c)) ++counts[ranks[c]];
    }
    for (const auto& [L, b] : farHome) {
        --counts[originOf(L) * numRanks + ranks[L]];
        ++counts[b * numRanks + ranks[L]];
    }
    // Next id per (band, rank): ranks from the last down, bands from the last down.
    result.firstId.assign(numRanks, 0);
    uint32_t start = 0;
    for (uint64_t r = numRanks; r-- > 0;) {
        result.firstId[r] = start;
        for (size_t b = k; b-- > 0;) {
            const uint32_t count = counts[b * numRanks + r];
            counts[b * numRanks + r] = start;
            start += count;
        }
    }
    result.numNodes = start;

    // The backward scans: componentOf becomes node ids. A pixel whose node
    // another band has not numbered yet keeps the node's component number
    // and is marked, for a second pass.
    uint32_t* pixelNode = forest.componentOf.data();
    uint32_t* idOf = result.idOf.data();
    std::vector<std::vector<uint64_t>> deferred(k);
    parallelFor(k, threads, [&](size_t b) {
        const uint64_t begin = k == 1 ? 0 : bands[b].firstPixel, end = k == 1 ? n : bands[b].endPixel;
        const uint32_t first = bands[b].first, last = bands[b].end;
        uint32_t* next = counts.data() + b * numRanks;
        std::vector<uint64_t>& marks = deferred[b];
        uint32_t lastForeign = kNoId;  // runs of one foreign node are common
        for (uint64_t p = end; p-- > begin;) {
            // The pixel's own component is the band's: its id entry is read
            // first, and the live one's only when it is still unset.
            const uint32_t c = pixelNode[p];
            uint32_t id = numbering::load(idOf[c]);
            if (id == kNoId) {
                const uint32_t L = forest.live(c);
                id = numbering::load(idOf[L]);
                if (id == kNoId) {
                    bool mine = k == 1;
                    if (!mine && L != lastForeign) {
                        const int64_t far = farHomeOf(L);
                        mine = far < 0 ? L >= first && L < last : size_t(far) == b;
                    }
                    if (!mine) {
                        lastForeign = L;
                        pixelNode[p] = L;
                        if (marks.empty()) marks.assign((end - begin + 63) / 64, 0);
                        marks[(p - begin) >> 6] |= uint64_t(1) << ((p - begin) & 63);
                        continue;
                    }
                    id = next[ranks[L]]++;
                    numbering::store(idOf[L], id);
                }
                if (c != L) numbering::store(idOf[c], id);
            }
            pixelNode[p] = id;
        }
    });
    parallelFor(k, threads, [&](size_t b) {
        const std::vector<uint64_t>& marks = deferred[b];
        const uint64_t begin = bands[b].firstPixel;
        for (size_t w = 0; w < marks.size(); ++w) {
            for (uint64_t bits = marks[w]; bits; bits &= bits - 1) {
                const uint64_t p = begin + w * 64 + uint64_t(__builtin_ctzll(bits));
                pixelNode[p] = idOf[pixelNode[p]];
            }
        }
    });
    return result;
}

// The same ids as numberNodes, for a forest flooded with ranks that are
// those of a processing order of the pixels (order[i] the pixel at position
// i; ranks ascending, pixels of a rank by ascending index), which gave each
// component its last position: a walk of that order backwards would meet
// the nodes in id order, each first at its last position. So a node's id is
// the number of nodes whose last position comes later, which the bands find
// in parallel with a bit per position marking those. Rewrites componentOf
// into node ids and gives the pixel at each node's last position in
// levelPixel. firstId stays empty.
template <typename Rank>
NodeNumbering numberNodesAlong(BasicComponentForest<Rank>& forest, const SortedLevels& levels,
                               ReusedVector<uint32_t>& levelPixel, unsigned threads) {
    const auto& bands = forest.bands;
    // Each live component's last position becomes its id, in place.
    NodeNumbering result;
    result.idOf = std::move(forest.lastPosition);
    uint32_t* idOf = result.idOf.data();
    for (uint32_t c : forest.fused) {
        uint32_t& last = idOf[forest.live(c)];
        last = std::max(last, idOf[c]);
    }
    const MarkedPositions last(levels.order.size(), bands.size(), threads, [&](size_t b, auto mark) {
        for (uint32_t c = bands[b].first; c < bands[b].end; ++c)
            if (forest.isLive(c)) mark(idOf[c]);
    });
    const uint32_t numNodes = uint32_t(last.count());
    result.numNodes = numNodes;
    parallelFor(bands.size(), threads, [&](size_t b) {
        for (uint32_t c = bands[b].first; c < bands[b].end; ++c)
            if (forest.isLive(c)) idOf[c] = numNodes - 1 - last.before(idOf[c]);
    });
    levelPixel.resize(numNodes);
    const uint32_t* order = levels.order.data();
    last.forEach(threads, [&](uint64_t at, uint32_t index) { levelPixel[numNodes - 1 - index] = order[at]; });
    // Fused components take their node's id too, so that pixels find it in one read.
    for (uint32_t c : forest.fused) idOf[c] = idOf[forest.live(c)];
    uint32_t* pixelNode = forest.componentOf.data();
    parallelFor(bands.size(), threads, [&](size_t b) {
        for (uint64_t p = bands[b].firstPixel; p < bands[b].endPixel; ++p) pixelNode[p] = idOf[pixelNode[p]];
    });
    return result;
}

// Nodes whose compact pixels lie in several bands (those that fused
// components of several bands), with how many lie in each band.
struct SpreadNodes {
    std::vector<uint32_t> ids;     // ascending
    std::vector<uint32_t> counts;  // ids.size() x bands, row-major
};

template <typename Rank>
SpreadNodes spreadNodes(const BasicComponentForest<Rank>& forest, const NodeNumbering& numbering) {
    const size_t k = forest.bands.size();
    auto bandOf = [&](uint32_t c) {
        size_t b = 0;
        while (b + 1 < k && c >= forest.bands[b + 1].first) ++b;
        return b;
    };
    SpreadNodes spread;
    std::vector<std::pair<uint32_t, uint32_t>> parts;  // (node id, component)
    for (uint32_t c : forest.fused) {
        const uint32_t L = forest.live(c);
        parts.push_back({numbering.idOf[L], c});
        parts.push_back({numbering.idOf[L], L});
    }
    std::sort(parts.begin(), parts.end());
    parts.erase(std::unique(parts.begin(), parts.end()), parts.end());
    for (const auto& [id, c] : parts) {
        if (spread.ids.empty() || spread.ids.back() != id) {
            spread.ids.push_back(id);
            spread.counts.resize(spread.counts.size() + k, 0);
        }
        spread.counts[(spread.ids.size() - 1) * k + bandOf(c)] += forest.components[c].size;
    }
    return spread;
}

// For every live component c: visit(c, id, parent id or kNoId), over the
// bands in parallel.
template <typename Rank, typename Visit>
void forEachNode(const BasicComponentForest<Rank>& forest, const NodeNumbering& numbering, unsigned threads,
                 Visit&& visit) {
    constexpr uint32_t kNone = BasicComponentForest<Rank>::kNone;
    parallelFor(forest.bands.size(), threads, [&](size_t b) {
        for (uint32_t c = forest.bands[b].first; c < forest.bands[b].end; ++c) {
            if (!forest.isLive(c)) continue;
            const uint32_t parent = forest.components[c].parent;
            visit(c, numbering.idOf[c], parent == kNone ? NodeNumbering::kNoId : numbering.idOf[forest.live(parent)]);
        }
    });
}

}  // namespace vexa
