#include "core/component_forest.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <thread>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"

namespace vexa {

namespace {

using Component = ComponentForest::Component;
constexpr uint32_t kNone = ComponentForest::kNone;

// Row of a linear index without a hardware division: a double reciprocal,
// corrected by one step either way.
struct RowDivider {
    uint32_t width;
    double inverse;
    explicit RowDivider(uint32_t w) : width(w), inverse(w ? 1.0 / w : 0.0) {}
    uint32_t operator()(uint32_t p) const {
        uint64_t q = uint64_t(double(p) * inverse);
        if (q * width > p) --q;
        else if ((q + 1) * width <= p) ++q;
        return uint32_t(q);
    }
};

// 256 LIFO buckets over one array: bucket r holds at most as many pixels as
// the image has at rank r, since a pixel waits in the queue at most once.
class HierarchicalQueue {
public:
    HierarchicalQueue(const ImageView& image, const LevelRanks& rank)
        : slots_(new uint32_t[image.numPixels()]) {
        std::array<uint64_t, 256> count{};
        const uint64_t n = image.numPixels();
        for (uint64_t i = 0; i < n; ++i) ++count[rank[image.data[i]]];
        uint64_t start = 0;
        for (int r = 0; r < 256; ++r) {
            top_[r] = base_[r] = start;
            start += count[r];
        }
    }
    void push(uint32_t p, uint8_t r) {
        slots_[top_[r]++] = p;
        nonEmpty_[r >> 6] |= 1ull << (r & 63);
    }
    // Lowest non-empty rank, or -1.
    int lowest() const {
        for (int w = 0; w < 4; ++w)
            if (nonEmpty_[w]) return w * 64 + __builtin_ctzll(nonEmpty_[w]);
        return -1;
    }
    uint32_t pop(uint8_t r) {
        const uint32_t p = slots_[--top_[r]];
        if (top_[r] == base_[r]) nonEmpty_[r >> 6] &= ~(1ull << (r & 63));
        return p;
    }

private:
    std::unique_ptr<uint32_t[]> slots_;  // left uninitialised: only the used part is touched
    std::array<uint64_t, 256> base_, top_;
    uint64_t nonEmpty_[4] = {0, 0, 0, 0};
};

// Floods one band of rows as an image of its own, appending its components
// (numbered from comps.size()) and writing componentOf for its pixels.
void floodBand(const ImageView& image, const LevelRanks& rank, const std::vector<Offset>& offsets,
               uint32_t* componentOf, std::vector<Component>& comps, std::vector<uint8_t>& ranks) {
    const uint32_t width = image.numCols, height = image.numRows;
    const uint8_t* level = image.data;
    const uint64_t n = image.numPixels();
    comps.reserve(comps.size() + n / 2 + n / 8 + 16);
    ranks.reserve(ranks.size() + n / 2 + n / 8 + 16);
    // Rank of every pixel, with kReached set once the pixel has been queued:
    // one load answers both questions about a neighbour.
    constexpr uint16_t kReached = 0x100;
    std::unique_ptr<uint16_t[]> state(new uint16_t[n]);
    for (uint64_t p = 0; p < n; ++p) state[p] = rank[level[p]];
    HierarchicalQueue queue(image, rank);
    std::vector<uint32_t> stack;      // open components, ranks strictly increasing downwards
    std::vector<uint8_t> stackRanks;  // their ranks

    int32_t reachX = 0, reachY = 0;
    std::vector<int64_t> steps;
    for (const Offset& o : offsets) {
        reachX = std::max(reachX, std::abs(o.dx));
        reachY = std::max(reachY, std::abs(o.dy));
        steps.push_back(int64_t(o.dy) * width + o.dx);
    }
    const RowDivider rowOf(width);
    auto open = [&](uint8_t r) {
        comps.push_back(Component{kNone, 0});
        ranks.push_back(r);
        stack.push_back(uint32_t(comps.size() - 1));
        stackRanks.push_back(r);
    };
    // Closes every open component of rank below r; the next one down (made
    // at rank r when missing) becomes its parent.
    auto closeBelow = [&](uint8_t r) {
        while (r > stackRanks.back()) {
            const uint32_t c = stack.back();
            stack.pop_back();
            stackRanks.pop_back();
            if (stack.empty() || r < stackRanks.back()) open(r);
            comps[c].parent = stack.back();
        }
    };

    InterruptPoll poll;
    uint32_t cur = 0;
    uint8_t curRank = rank[level[0]];
    state[0] |= kReached;
    open(curRank);
    for (;;) {
        // Explore cur's neighbours; a lower one is flooded first, cur waits.
        uint32_t y = rowOf(cur), x = cur - y * width;
        auto inside = [&] {
            return x >= uint32_t(reachX) && uint64_t(x) + reachX < width && y >= uint32_t(reachY) &&
                   uint64_t(y) + reachY < height;
        };
        bool inner = inside();
        for (size_t i = 0; i < offsets.size(); ++i) {
            uint32_t q;
            if (inner) {
                q = uint32_t(int64_t(cur) + steps[i]);
            } else {
                const int64_t nx = int64_t(x) + offsets[i].dx, ny = int64_t(y) + offsets[i].dy;
                if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                q = uint32_t(ny * width + nx);
            }
            const uint16_t qState = state[q];
            if (qState & kReached) continue;
            state[q] = qState | kReached;
            const uint8_t qRank = uint8_t(qState);
            if (qRank >= curRank) {
                queue.push(q, qRank);
            } else {
                queue.push(cur, curRank);
                cur = q;
                curRank = qRank;
                open(qRank);
                y = rowOf(cur);
                x = cur - y * width;
                inner = inside();
                i = size_t(-1);  // restart with the new pixel's neighbours
            }
        }
        // cur is a compact pixel of the innermost open component.
        const uint32_t c = stack.back();
        componentOf[cur] = c;
        ++comps[c].size;
        poll.step(uint32_t(offsets.size()));

        const int next = queue.lowest();
        if (next < 0) break;
        cur = queue.pop(uint8_t(next));
        if (next != curRank) {
            closeBelow(uint8_t(next));
            curRank = uint8_t(next);
        }
    }
    while (stack.size() > 1) {
        const uint32_t c = stack.back();
        stack.pop_back();
        comps[c].parent = stack.back();
    }
}

// Joins the trees of two components that an adjacency connects: for every
// rank from the larger of theirs up, their components at that rank become
// one. The two ancestor chains are merged like sorted lists: same-rank
// components are fused through aliases, others re-linked so that every
// parent keeps a strictly larger rank.
void mergeTrees(ComponentForest& forest, uint32_t x, uint32_t y) {
    std::vector<Component>& comps = forest.components;
    const std::vector<uint8_t>& ranks = forest.ranks;
    std::vector<uint32_t>& alias = forest.alias;
    auto live = [&](uint32_t c) {
        uint32_t root = c;
        while (alias[root] != root) root = alias[root];
        while (alias[c] != root) {
            const uint32_t next = alias[c];
            alias[c] = root;
            c = next;
        }
        return root;
    };
    auto parentOf = [&](uint32_t c) {
        const uint32_t p = comps[c].parent;
        return p == kNone ? kNone : live(p);
    };
    x = live(x);
    y = live(y);
    while (x != kNone && x != y) {
        if (ranks[x] > ranks[y]) std::swap(x, y);
        const uint32_t above = parentOf(x);
        if (ranks[x] == ranks[y]) {
            alias[x] = y;  // x's children now reach y
            comps[y].size += comps[x].size;
        } else if (above == kNone || ranks[above] > ranks[y]) {
            comps[x].parent = y;  // y fits between x and its old parent
        }
        x = above;  // what remains of x's chain still has to join y's
    }
}

}  // namespace

uint64_t parallelThreshold = uint64_t(1) << 18;

ComponentForest floodComponents(const ImageView& image, const LevelRanks& rank,
                                const std::vector<Offset>& offsets) {
    ComponentForest forest;
    forest.componentOf.resize(image.numPixels());
    int32_t reachY = 0;
    for (const Offset& o : offsets) reachY = std::max(reachY, std::abs(o.dy));

    const bool twoBands = image.numPixels() >= parallelThreshold && threadBudget() > 1 &&
                          image.numRows >= 4 * uint32_t(reachY) + 4;
    if (!twoBands) {
        floodBand(image, rank, offsets, forest.componentOf.data(), forest.components, forest.ranks);
        return forest;
    }
    const uint32_t width = image.numCols, seam = image.numRows / 2;
    const ImageView top{image.data, seam, width};
    const ImageView bottom{image.data + uint64_t(seam) * width, image.numRows - seam, width};
    uint32_t* bottomOf = forest.componentOf.data() + uint64_t(seam) * width;
    std::vector<Component> bottomComps;
    std::vector<uint8_t> bottomRanks;
    runBoth(
        true, [&] { floodBand(top, rank, offsets, forest.componentOf.data(), forest.components, forest.ranks); },
        [&] { floodBand(bottom, rank, offsets, bottomOf, bottomComps, bottomRanks); });

    // Number the bottom band's components after the top band's.
    const uint32_t shift = uint32_t(forest.components.size());
    for (Component& c : bottomComps)
        forest.components.push_back(Component{c.parent == kNone ? kNone : c.parent + shift, c.size});
    forest.ranks.insert(forest.ranks.end(), bottomRanks.begin(), bottomRanks.end());
    std::vector<Component>().swap(bottomComps);
    for (uint64_t p = 0, count = bottom.numPixels(); p < count; ++p) bottomOf[p] += shift;

    // Merge along the seam: every adjacent pair with one pixel on each side.
    forest.alias.resize(forest.components.size());
    std::iota(forest.alias.begin(), forest.alias.end(), 0u);
    InterruptPoll poll;
    for (const Offset& o : offsets) {
        if (o.dy <= 0) continue;  // each crossing pair once, from its upper pixel
        for (uint32_t y = seam - uint32_t(o.dy); y < seam; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                const int64_t nx = int64_t(x) + o.dx;
                if (nx < 0 || nx >= width) continue;
                const uint64_t p = uint64_t(y) * width + x, q = uint64_t(y + o.dy) * width + nx;
                mergeTrees(forest, forest.componentOf[p], forest.componentOf[q]);
                poll.step();
            }
        }
    }
    // Point every fused component straight at the one it lives on in.
    for (uint32_t c = 0; c < forest.alias.size(); ++c) {
        uint32_t root = forest.alias[c];
        while (forest.alias[root] != root) root = forest.alias[root];
        forest.alias[c] = root;
    }
    return forest;
}

ComponentForest levelComponents(const ImageView& image, const LevelRanks& rank) {
    const uint32_t n = uint32_t(image.numPixels());
    ComponentForest forest;
    std::array<uint32_t, 256> compOfRank;
    compOfRank.fill(kNone);
    for (uint32_t p = 0; p < n; ++p) compOfRank[rank[image.data[p]]] = 0;
    // Ranks present, from the first processed (deepest) to the root's.
    for (int r = 0; r < 256; ++r) {
        if (compOfRank[r] == kNone) continue;
        if (!forest.components.empty()) forest.components.back().parent = uint32_t(forest.components.size());
        compOfRank[r] = uint32_t(forest.components.size());
        forest.components.push_back(Component{kNone, 0});
        forest.ranks.push_back(uint8_t(r));
    }
    forest.componentOf.resize(n);
    for (uint32_t p = 0; p < n; ++p) {
        const uint32_t c = compOfRank[rank[image.data[p]]];
        forest.componentOf[p] = c;
        ++forest.components[c].size;
    }
    return forest;
}

ComponentForest isolatedComponents(const ImageView& image, const LevelRanks& rank) {
    const uint32_t n = uint32_t(image.numPixels());
    ComponentForest forest;
    forest.ranks.resize(n);
    for (uint32_t p = 0; p < n; ++p) forest.ranks[p] = rank[image.data[p]];
    forest.components.assign(n, Component{kNone, 1});
    forest.componentOf.resize(n);
    std::iota(forest.componentOf.begin(), forest.componentOf.end(), 0u);
    return forest;
}

}  // namespace vexa
