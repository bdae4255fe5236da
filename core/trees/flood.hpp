#pragma once
// The flood that builds every component tree: pixels of a 2-D or 3-D grid,
// each with a rank (its level's position in the processing order), are
// flooded with a hierarchical queue of rank buckets (or, for wide levels
// sorted beforehand, of positions in their order). Large grids are cut
// into bands along the slowest axis, flooded on several threads, and the
// bands' trees are merged along the seams.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/trees/component_forest.hpp"
#include "core/trees/graph_component_tree.hpp"
#include "core/trees/level_keys.hpp"
#include "core/trees/marked_positions.hpp"

namespace vexa::flood {

// Quotient of a linear index by a fixed divisor without a hardware
// division: a double reciprocal, corrected by one step either way.
struct Divider {
    uint64_t divisor;
    double inverse;
    explicit Divider(uint64_t d) : divisor(d), inverse(d ? 1.0 / double(d) : 0.0) {}
    uint32_t operator()(uint64_t p) const {
        uint64_t q = uint64_t(double(p) * inverse);
        if (q * divisor > p) --q;
        else if ((q + 1) * divisor <= p) ++q;
        return uint32_t(q);
    }
};

using vexa::HugePageArray;

// A set of integers below a bound, kept as a three-level bitmap, so that
// finding the lowest member at or above a value costs a few word operations
// for 256 or 2^32 possible members alike.
class LowestSetBits {
public:
    explicit LowestSetBits(uint64_t bound) {
        bits_[0].assign((bound + 63) / 64, 0);
        bits_[1].assign((bits_[0].size() + 63) / 64, 0);
        bits_[2].assign((bits_[1].size() + 63) / 64, 0);
    }
    void insert(uint64_t i) {
        for (int level = 0; level < 3; ++level, i >>= 6) {
            uint64_t& word = bits_[level][i >> 6];
            const bool wasEmpty = word == 0;
            word |= uint64_t(1) << (i & 63);
            if (!wasEmpty) break;
        }
    }
    void erase(uint64_t i) {
        for (int level = 0; level < 3; ++level, i >>= 6) {
            uint64_t& word = bits_[level][i >> 6];
            word &= ~(uint64_t(1) << (i & 63));
            if (word != 0) break;
        }
    }
    // Lowest member at or above i, or -1.
    int64_t lowestFrom(uint64_t i) const {
        uint64_t index = i;
        int level = 0;
        // Climb while the rest of the word at this level is empty.
        for (;; ++level, index = (index >> 6) + 1) {
            if (level == 3) {
                // Past the top level's word: scan the top level from there.
                for (uint64_t w = index; w < bits_[2].size(); ++w)
                    if (bits_[2][w]) return descend(2, w * 64 + __builtin_ctzll(bits_[2][w]));
                return -1;
            }
            if ((index >> 6) >= bits_[level].size()) return -1;
            const uint64_t word = bits_[level][index >> 6] & (~uint64_t(0) << (index & 63));
            if (word) return descend(level, (index & ~uint64_t(63)) + __builtin_ctzll(word));
        }
    }

private:
    // From a set bit at `level`, the lowest set member below it.
    int64_t descend(int level, uint64_t index) const {
        for (; level > 0; --level) index = index * 64 + __builtin_ctzll(bits_[level - 1][index]);
        return int64_t(index);
    }
    std::vector<uint64_t> bits_[3];
};

// Buckets of pixels by rank over one array: bucket r holds at most as many
// pixels as the band has of rank r, since a pixel waits at most once. The
// non-empty buckets are a LowestSetBits.
class RankQueue {
public:
    template <typename RankOf>
    RankQueue(uint64_t numPixels, uint64_t numRanks, RankOf rankOf)
        : slots_(new uint32_t[numPixels]), top_(numRanks + 1, 0), base_(numRanks, 0), nonEmpty_(numRanks) {
        for (uint64_t p = 0; p < numPixels; ++p) ++top_[uint64_t(rankOf(p)) + 1];
        for (uint64_t r = 0; r < numRanks; ++r) top_[r + 1] += top_[r];
        std::copy(top_.begin(), top_.end() - 1, base_.begin());
    }
    void push(uint32_t p, uint64_t r) {
        if (top_[r] == base_[r]) nonEmpty_.insert(r);
        slots_[top_[r]++] = p;
    }
    uint32_t pop(uint64_t r) {
        const uint32_t p = slots_[--top_[r]];
        if (top_[r] == base_[r]) nonEmpty_.erase(r);
        return p;
    }
    // The pixel that pop(r) would return next, for prefetching.
    uint32_t peek(uint64_t r) const { return top_[r] > base_[r] ? slots_[top_[r] - 1] : 0; }
    // Lowest non-empty rank at or above r, or -1.
    int64_t lowestFrom(uint64_t r) const { return nonEmpty_.lowestFrom(r); }

private:
    std::unique_ptr<uint32_t[]> slots_;  // left uninitialised: only the used part is touched
    std::vector<uint32_t> top_, base_;
    LowestSetBits nonEmpty_;
};

// Per pixel: its rank, with the reached flag set once the pixel has been
// queued, so that one load answers both questions about a neighbour.
template <typename Rank>
using StateOf = std::conditional_t<sizeof(Rank) == 1, uint16_t, uint32_t>;
template <typename Rank>
constexpr StateOf<Rank> kReached = sizeof(Rank) == 1   ? 0x100
                                   : sizeof(Rank) == 2 ? 0x10000
                                                       : 0x80000000u;
// Set on pixels whose neighbourhood leaves the band, where there is room
// for it (8- and 16-bit ranks): the others find their neighbours by fixed
// steps without locating themselves.
template <typename Rank>
constexpr StateOf<Rank> kNearEdge = sizeof(Rank) == 1   ? 0x200
                                    : sizeof(Rank) == 2 ? 0x20000
                                                        : 0;

// The levels of a band given by the order of the whole grid's pixels: the
// band's pixels wait by their position in that order (one bit each, no
// buckets), and a pixel's rank is that of its position.
struct SortedBand {
    const SortedLevels* levels;
    uint64_t firstPixel;
};

// The levels of the band of pixels from firstPixel on: a rank function
// shifted to the band, or the sorted order seen from the band.
template <typename RankOf>
auto bandLevels(const RankOf& rankOf, uint64_t firstPixel) {
    return [&rankOf, firstPixel](uint64_t p) { return rankOf(firstPixel + p); };
}
inline SortedBand bandLevels(const SortedLevels& levels, uint64_t firstPixel) { return {&levels, firstPixel}; }

// Floods one band as an image of its own. Its components are numbered from
// `first` (at most one per pixel); componentOf gets their numbers for the
// band's pixels. Returns the end of the numbers used. Pixels wait in rank
// buckets, or with SortedBand levels by their positions in the order: as
// positions refine ranks, the flood takes the same components.
template <typename Rank, bool Volume, typename RankOf>
uint32_t floodBand(const Grid& band, uint64_t numRanks, RankOf rankOf, const std::vector<GridOffset>& adjacency,
                   BasicComponentForest<Rank>& forest, uint32_t first, uint32_t* componentOf) {
    using Component = typename BasicComponentForest<Rank>::Component;
    using State = StateOf<Rank>;
    constexpr bool kSorted = std::is_same_v<RankOf, SortedBand>;
    static_assert(!kSorted || sizeof(Rank) == 4, "sorted levels have 32-bit ranks");
    constexpr uint32_t kNone = BasicComponentForest<Rank>::kNone;
    // Ranked: the state holds the rank and the reached flag. Sorted: the
    // position, until the pixel is reached (no position is 2^32 - 1).
    constexpr State kFlag = kSorted ? State(~State(0)) : kReached<Rank>;
    const uint64_t n = band.numPixels();
    const uint32_t width = band.width, height = band.height, depth = band.depth;
    Component* comps = forest.components.data();
    Rank* compRanks = forest.ranks.data();
    uint32_t* lastPosition = forest.lastPosition.data();
    uint32_t next = first;

    HugePageArray<State> state(n);
    std::vector<uint32_t> stack;  // open components, ranks strictly increasing downwards
    std::vector<Rank> stackRanks;

    // Neighbours of the same rank are flooded last pushed, first popped: the
    // nearest in memory goes last, so that runs of such pixels are taken
    // along rows rather than across rows or planes. The tree does not depend
    // on this order.
    std::vector<GridOffset> offsets = adjacency;
    std::stable_sort(offsets.begin(), offsets.end(), [](const GridOffset& a, const GridOffset& b) {
        return std::make_tuple(std::abs(a.dz), std::abs(a.dy), std::abs(a.dx)) >
               std::make_tuple(std::abs(b.dz), std::abs(b.dy), std::abs(b.dx));
    });
    int32_t reach[3] = {0, 0, 0};
    std::vector<int64_t> steps;
    for (const GridOffset& o : offsets) {
        reach[0] = std::max(reach[0], std::abs(o.dz));
        reach[1] = std::max(reach[1], std::abs(o.dy));
        reach[2] = std::max(reach[2], std::abs(o.dx));
        steps.push_back((int64_t(o.dz) * height + o.dy) * int64_t(width) + o.dx);
    }
    const uint64_t plane = uint64_t(width) * height;
    const Divider rowOf(width), planeOf(plane);
    constexpr State kEdge = kSorted ? 0 : kNearEdge<Rank>;
    if constexpr (kSorted) {
        const uint32_t* positionOf = rankOf.levels->positionOf.data() + rankOf.firstPixel;
        for (uint64_t p = 0; p < n; ++p) state[p] = positionOf[p];
    } else {
        for (uint64_t z = 0, p = 0; z < depth; ++z) {
            const bool edgePlane = Volume && (z < uint32_t(reach[0]) || z + reach[0] >= depth);
            for (uint64_t y = 0; y < height; ++y) {
                const bool edgeRow = edgePlane || y < uint32_t(reach[1]) || y + reach[1] >= height;
                for (uint64_t x = 0; x < width; ++x, ++p) {
                    const bool edge = edgeRow || x < uint32_t(reach[2]) || x + reach[2] >= width;
                    state[p] = State(State(rankOf(p)) | (edge ? kEdge : 0));
                }
            }
        }
    }
    // Ranked: rank buckets. Sorted: the positions waiting.
    std::conditional_t<kSorted, LowestSetBits, RankQueue> queue = [&] {
        if constexpr (kSorted) return LowestSetBits(rankOf.levels->order.size());
        else return RankQueue(n, numRanks, [&](uint64_t p) { return Rank(state[p]); });
    }();
    auto open = [&](Rank r) {
        comps[next] = Component{kNone, 0};
        if constexpr (kSorted) lastPosition[next] = 0;
        compRanks[next] = r;
        stack.push_back(next++);
        stackRanks.push_back(r);
    };
    // Closes every open component of rank below r; the next one down (made
    // at rank r when missing) becomes its parent.
    auto closeBelow = [&](Rank r) {
        while (r > stackRanks.back()) {
            const uint32_t c = stack.back();
            stack.pop_back();
            stackRanks.pop_back();
            if (stack.empty() || r < stackRanks.back()) open(r);
            comps[c].parent = stack.back();
        }
    };
    constexpr int kNeighboursAhead = 1, kOrderAhead = 2;  // steps of the sorted flood's prefetches
    auto rankOfState = [&](State s) {
        if constexpr (kSorted) return Rank(rankOf.levels->rankAt(s));
        else return Rank(s);
    };

    InterruptPoll poll;
    uint32_t cur = 0;
    // The rank, or with sorted levels the position, of cur: pixels waiting
    // have higher ones.
    State curKey = kSorted ? state[0] : State(Rank(state[0]));
    Rank curRank = rankOfState(curKey);
    state[0] |= kFlag;
    open(curRank);
    for (;;) {
        // Explore cur's neighbours; a lower one is flooded first, cur waits.
        uint32_t x, y, z;
        auto locate = [&] {
            z = Volume ? planeOf(cur) : 0;
            const uint32_t inPlane = Volume ? uint32_t(cur - uint64_t(z) * width * height) : cur;
            y = rowOf(inPlane);
            x = inPlane - y * width;
            return x >= uint32_t(reach[2]) && uint64_t(x) + reach[2] < width && y >= uint32_t(reach[1]) &&
                   uint64_t(y) + reach[1] < height &&
                   (!Volume || (z >= uint32_t(reach[0]) && uint64_t(z) + reach[0] < depth));
        };
        // Pixels away from the edges skip locating themselves.
        auto isInner = [&] { return kEdge != 0 && !(state[cur] & kEdge) ? true : locate(); };
        bool inner = isInner();
        for (size_t i = 0; i < offsets.size(); ++i) {
            uint32_t q;
            if (inner) {
                q = uint32_t(int64_t(cur) + steps[i]);
            } else {
                const int64_t nx = int64_t(x) + offsets[i].dx, ny = int64_t(y) + offsets[i].dy;
                const int64_t nz = int64_t(z) + offsets[i].dz;
                if (nx < 0 || ny < 0 || nz < 0 || nx >= width || ny >= height || nz >= depth) continue;
                q = uint32_t((uint64_t(nz) * height + uint64_t(ny)) * width + uint64_t(nx));
            }
            const State qState = state[q];
            if constexpr (kSorted) {
                if (qState == kFlag) continue;
                state[q] = kFlag;
                if (qState > curKey) {
                    queue.insert(qState);
                } else {
                    queue.insert(curKey);
                    cur = q;
                    curKey = qState;
                    const Rank qRank = rankOfState(qState);
                    if (qRank != curRank) {
                        curRank = qRank;
                        open(qRank);
                    }
                    inner = isInner();
                    i = size_t(-1);  // restart with the new pixel's neighbours
                }
            } else {
                if (qState & kFlag) continue;
                state[q] = qState | kFlag;
                const Rank qRank = Rank(qState);
                if (qRank >= curRank) {
                    queue.push(q, qRank);
                } else {
                    queue.push(cur, curRank);
                    cur = q;
                    curRank = qRank;
                    open(qRank);
                    inner = isInner();
                    i = size_t(-1);  // restart with the new pixel's neighbours
                }
            }
        }
        // cur is a compact pixel of the innermost open component.
        const uint32_t c = stack.back();
        componentOf[cur] = c;
        ++comps[c].size;
        if constexpr (kSorted) lastPosition[c] = std::max(lastPosition[c], curKey);
        poll.step(uint32_t(std::min<size_t>(offsets.size(), 1u << 16)));  // work grows with the neighbourhood

        Rank lowestRank;
        if constexpr (kSorted) {
            const int64_t lowest = queue.lowestFrom(curKey);  // nothing waits below cur's position
            if (lowest < 0) break;
            queue.erase(uint64_t(lowest));
            curKey = State(lowest);
            const uint32_t* order = rankOf.levels->order.data();
            cur = uint32_t(order[uint64_t(lowest)] - rankOf.firstPixel);
            lowestRank = rankOfState(curKey);
            // The next positions waiting are likely the next flooded, in
            // order: start loading the pixel a few steps ahead, and the
            // neighbourhood of one nearer (its pixel was asked for before).
            int64_t ahead = lowest;
            for (int k = 1; k <= kOrderAhead; ++k) {
                ahead = queue.lowestFrom(uint64_t(ahead) + 1);
                if (ahead < 0) break;
                if (k == kNeighboursAhead) {
                    const uint64_t p = order[uint64_t(ahead)] - rankOf.firstPixel;
                    __builtin_prefetch(&state[p]);
                    if (p >= width) __builtin_prefetch(&state[p - width]);
                    if (p + width < n) __builtin_prefetch(&state[p + width]);
                    if (Volume) {
                        if (p >= plane) __builtin_prefetch(&state[p - plane]);
                        if (p + plane < n) __builtin_prefetch(&state[p + plane]);
                    }
                }
                if (k == kOrderAhead) __builtin_prefetch(&order[uint64_t(ahead)]);
            }
        } else {
            const int64_t lowest = queue.lowestFrom(curRank);  // nothing waits below the current rank
            if (lowest < 0) break;
            cur = queue.pop(uint64_t(lowest));
            // The next pixel of this bucket is likely the next one flooded:
            // start loading its neighbourhood while this one is explored.
            const uint64_t ahead = queue.peek(uint64_t(lowest));
            __builtin_prefetch(&state[ahead]);
            if (ahead >= width) __builtin_prefetch(&state[ahead - width]);
            if (ahead + width < n) __builtin_prefetch(&state[ahead + width]);
            if (Volume) {  // and the planes above and below, further still
                if (ahead >= plane) __builtin_prefetch(&state[ahead - plane]);
                if (ahead + plane < n) __builtin_prefetch(&state[ahead + plane]);
            }
            lowestRank = Rank(lowest);
        }
        if (lowestRank != curRank) {
            closeBelow(lowestRank);
            curRank = lowestRank;
        }
    }
    while (stack.size() > 1) {
        const uint32_t c = stack.back();
        stack.pop_back();
        comps[c].parent = stack.back();
    }
    return next;
}

// The adjacent pairs with one pixel on each side of a seam (the first slab
// of the lower band), as pairs of components appended to a and b; runs of
// one pair are listed once.
template <typename Rank>
void seamPairs(const BasicComponentForest<Rank>& forest, const Grid& grid, const std::vector<GridOffset>& offsets,
               uint32_t seam, std::vector<uint32_t>& a, std::vector<uint32_t>& b) {
    const bool volume = grid.isVolume();
    const uint64_t width = grid.width, height = grid.height;
    const uint32_t* componentOf = forest.componentOf.data();
    for (const GridOffset& o : offsets) {
        const int32_t across = volume ? o.dz : o.dy;
        if (across <= 0) continue;  // each crossing pair once, from its upper pixel
        for (uint32_t s = seam - std::min<uint32_t>(seam, uint32_t(across)); s < seam; ++s) {
            const uint32_t rows = volume ? grid.height : 1;
            for (uint32_t y = 0; y < rows; ++y) {
                const int64_t ny = volume ? int64_t(y) + o.dy : 0;
                if (ny < 0 || ny >= int64_t(rows)) continue;
                const uint64_t p0 = volume ? (uint64_t(s) * height + y) * width : uint64_t(s) * width;
                const uint64_t q0 =
                    volume ? (uint64_t(s + across) * height + uint64_t(ny)) * width : uint64_t(s + across) * width;
                if (q0 >= forest.componentOf.size()) continue;
                const uint32_t x0 = o.dx < 0 ? uint32_t(-o.dx) : 0;
                const uint32_t x1 = o.dx > 0 ? uint32_t(std::max<int64_t>(0, int64_t(width) - o.dx)) : uint32_t(width);
                for (uint32_t x = x0; x < x1; ++x) {
                    const uint32_t c = componentOf[p0 + x], d = componentOf[q0 + uint64_t(int64_t(x) + o.dx)];
                    if (!a.empty() && a.back() == c && b.back() == d) continue;
                    a.push_back(c);
                    b.push_back(d);
                }
            }
        }
    }
}

// Merges the trees of the bands along every seam at once. The components
// of the pixels next to a seam and all their ancestors (collected once
// each: the climb stops at a component met before) form a graph, with an
// edge to each one's parent and one for every adjacent pair across a seam;
// its component tree is the merged tree of those components. Same-rank
// components it joins are fused through aliases (each keeps the size of its
// own band's part), the others re-linked to their new parents. Components
// away from every seam keep their parents, whose fusions forEachNode reads
// through the aliases. Before and after the tree, each band's part runs on
// a thread of its own: a band's ancestors are its own components.
template <typename Rank>
void mergeSeams(BasicComponentForest<Rank>& forest, const Grid& grid, const std::vector<GridOffset>& offsets,
                const std::vector<uint32_t>& cuts, unsigned threads) {
    constexpr uint32_t kNone = BasicComponentForest<Rank>::kNone;
    const size_t k = forest.bands.size();
    auto* comps = forest.components.data();
    const Rank* ranks = forest.ranks.data();
    // Seam s lies between bands s - 1 and s: its pairs join above[s][i] to
    // below[s][i].
    std::vector<std::vector<uint32_t>> above(k), below(k);
    parallelFor(k - 1, threads,
                [&](size_t i) { seamPairs(forest, grid, offsets, cuts[i + 1], above[i + 1], below[i + 1]); });

    // Per band, the components met, numbered in the order met. Bands share
    // at most the words of `met` at their ends, which are set atomically.
    const uint32_t end = forest.bands.back().end;
    std::vector<uint64_t> met((uint64_t(end) + 63) / 64, 0);
    ReusedVector<uint32_t> localOf(std::max<uint32_t>(end, 1));  // read only where met
    std::vector<std::vector<uint32_t>> members(k);
    parallelFor(k, threads, [&](size_t b) {
        InterruptPoll poll;
        std::vector<uint32_t>& list = members[b];
        const uint32_t first = forest.bands[b].first, last = forest.bands[b].end;
        // Only the words at the ends of the band's numbers may be shared.
        const uint32_t ownFrom = (first >> 6) + 1, ownTo = last == 0 ? 0 : (last - 1) >> 6;
        auto climb = [&](uint32_t c) {
            uint32_t steps = 1;
            for (; c != kNone; ++steps) {
                const uint32_t w = c >> 6;
                uint64_t& word = met[w];
                const uint64_t bit = uint64_t(1) << (c & 63);
                if (w >= ownFrom && w < ownTo) {
                    if (word & bit) break;
                    word |= bit;
                } else {
                    if (__atomic_load_n(&word, __ATOMIC_RELAXED) & bit) break;
                    __atomic_fetch_or(&word, bit, __ATOMIC_RELAXED);
                }
                localOf[c] = uint32_t(list.size());
                list.push_back(c);
                c = comps[c].parent;
            }
            poll.step(steps);
        };
        // A band thinner than the neighbours' reach lets pairs skip it.
        for (size_t s = 1; s < k; ++s)
            for (const std::vector<uint32_t>* side : {&above[s], &below[s]})
                for (uint32_t c : *side)
                    if (c >= first && c < last) climb(c);
    });
    std::vector<uint64_t> base(k + 1, 0), pairBase(k + 1, 0);
    for (size_t b = 0; b < k; ++b) base[b + 1] = base[b] + members[b].size();
    pairBase[1] = base[k];
    for (size_t s = 1; s < k; ++s) pairBase[s + 1] = pairBase[s] + above[s].size();
    if (base[k] >= kNoParent) throw std::length_error("too many components along the seams");
    const uint32_t count = uint32_t(base[k]);

    // Vertices in band order; edges: each to its parent (a root to itself,
    // which the tree ignores), then the pairs of each seam.
    ReusedVector<uint32_t> component(count);
    ReusedVector<uint64_t> memberRanks(count);
    ReusedVector<uint32_t> u(pairBase[k]), v(pairBase[k]);
    parallelFor(k, threads, [&](size_t b) {
        const std::vector<uint32_t>& list = members[b];
        for (size_t i = 0; i < list.size(); ++i) {
            const uint32_t c = list[i], p = comps[c].parent, at = uint32_t(base[b] + i);
            component[at] = c;
            memberRanks[at] = uint64_t(ranks[c]);
            u[at] = at;
            v[at] = p == kNone ? at : uint32_t(base[b] + localOf[p]);
        }
    });
    auto vertexOf = [&](uint32_t c) {
        size_t b = 0;
        while (b + 1 < k && c >= forest.bands[b + 1].first) ++b;
        return uint32_t(base[b] + localOf[c]);
    };
    parallelFor(k - 1, threads, [&](size_t i) {
        const size_t s = i + 1;
        for (size_t j = 0; j < above[s].size(); ++j) {
            u[pairBase[s] + j] = vertexOf(above[s][j]);
            v[pairBase[s] + j] = vertexOf(below[s][j]);
        }
    });
    ReusedVector<uint32_t>().swap(localOf);
    std::vector<std::vector<uint32_t>>().swap(above);
    std::vector<std::vector<uint32_t>>().swap(below);
    // With levels sorted beforehand, the members' last positions (distinct,
    // in the order of levels) give their processing order without a sort.
    ReusedVector<uint32_t> processing;
    if (!forest.lastPosition.empty()) {
        const uint32_t* lastPosition = forest.lastPosition.data();
        const MarkedPositions last(forest.componentOf.size(), k, threads, [&](size_t b, auto mark) {
            for (uint64_t at = base[b]; at < base[b + 1]; ++at) mark(lastPosition[component[at]]);
        });
        processing.resize(count);
        parallelFor(k, threads, [&](size_t b) {
            for (uint32_t at = uint32_t(base[b]); at < base[b + 1]; ++at)
                processing[last.before(lastPosition[component[at]])] = at;
        });
    }
    const ReusedVector<uint32_t> merged = graphComponentTree(memberRanks.data(), count, u.data(), v.data(), u.size(),
                                                             threads, processing.empty() ? nullptr : processing.data());

    uint32_t* alias = forest.alias.data();
    std::vector<std::vector<uint32_t>> fused(k);
    parallelFor(k, threads, [&](size_t b) {
        for (uint32_t at = uint32_t(base[b]); at < base[b + 1]; ++at) {
            const uint32_t c = component[at], t = merged[at];
            if (t == kNoParent) {
                comps[c].parent = kNone;
            } else if (memberRanks[t] == memberRanks[at]) {
                alias[c] = component[t];  // t is its node's canonical member, never fused itself
                __atomic_fetch_or(&forest.fusedBits[c >> 6], uint64_t(1) << (c & 63), __ATOMIC_RELAXED);
                fused[b].push_back(c);
            } else {
                comps[c].parent = component[t];
            }
        }
    });
    for (const std::vector<uint32_t>& list : fused) forest.fused.insert(forest.fused.end(), list.begin(), list.end());
}

// The whole flood: bands on the plan's threads, then the seams. rankOf is
// a function of the pixel, or the grid's SortedLevels.
template <typename Rank, typename RankOf>
BasicComponentForest<Rank> floodGrid(const Grid& grid, uint64_t numRanks, const RankOf& rankOf,
                                     const std::vector<GridOffset>& offsets, const BuildPlan& plan) {
    using Component = typename BasicComponentForest<Rank>::Component;
    BasicComponentForest<Rank> forest;
    const uint64_t n = grid.numPixels();
    forest.components.resize(n);
    forest.ranks.resize(n);
    forest.componentOf.resize(n);
    if constexpr (std::is_same_v<RankOf, SortedLevels>) forest.lastPosition.resize(n);

    // Bands of whole slabs along the slowest axis of more than one slab.
    const uint32_t extent = grid.isVolume() ? grid.depth : grid.height;
    const uint64_t slab = n / std::max<uint32_t>(extent, 1);
    const unsigned bands = std::max(1u, std::min<unsigned>(plan.bands, extent));
    std::vector<uint32_t> cuts(bands + 1);
    for (unsigned b = 0; b <= bands; ++b) cuts[b] = uint32_t(uint64_t(extent) * b / bands);
    forest.bands.resize(bands);
    if (bands > 1) {
        forest.alias.resize(n);
        forest.fusedBits.assign((n + 63) / 64, 0);
    }
    parallelFor(bands, plan.threads, [&](size_t b) {
        Grid part = grid;
        (grid.isVolume() ? part.depth : part.height) = cuts[b + 1] - cuts[b];
        const uint64_t firstPixel = cuts[b] * slab;
        const uint32_t first = uint32_t(firstPixel);
        const uint32_t end = grid.isVolume()
                                 ? floodBand<Rank, true>(part, numRanks, bandLevels(rankOf, firstPixel), offsets,
                                                         forest, first, forest.componentOf.data() + firstPixel)
                                 : floodBand<Rank, false>(part, numRanks, bandLevels(rankOf, firstPixel), offsets,
                                                          forest, first, forest.componentOf.data() + firstPixel);
        forest.bands[b] = {first, end, firstPixel, firstPixel + part.numPixels()};
    });
    if (bands == 1) return forest;
    mergeSeams(forest, grid, offsets, cuts, plan.threads);
    if (forest.fused.empty()) {
        ReusedVector<uint32_t>().swap(forest.alias);
        forest.fusedBits.clear();
    }
    return forest;
}

}  // namespace vexa::flood
