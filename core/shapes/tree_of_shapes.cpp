#include "core/shapes/tree_of_shapes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "core/runtime/interrupt.hpp"
#include "core/trees/flood.hpp"
#include "core/trees/level_keys.hpp"

namespace vexa {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// How many points ahead the passes in the propagation order fetch memory.
constexpr uint64_t kAhead = 16;
// How many points ahead along the slowest axis the propagation fetches
// memory: the last neighbour queued, a step back along that axis, is the
// first taken out, so that the propagation mostly walks that way.
constexpr int64_t kLead = 4;

// A set of levels 0..n-1 that finds its nearest member above or below any
// level in a few word operations: a bit per level, and above those a bit per
// non-zero word, layer over layer up to a single word.
class LevelSet {
public:
    explicit LevelSet(uint64_t n) {
        do {
            n = (n + 63) / 64;
            layers_.emplace_back(n, 0);
        } while (n > 1);
    }

    void insert(uint64_t level) {
        for (auto& layer : layers_) {
            uint64_t& word = layer[level >> 6];
            const bool had = word != 0;
            word |= uint64_t(1) << (level & 63);
            if (had) return;
            level >>= 6;
        }
    }

    void erase(uint64_t level) {
        for (auto& layer : layers_) {
            uint64_t& word = layer[level >> 6];
            word &= ~(uint64_t(1) << (level & 63));
            if (word) return;
            level >>= 6;
        }
    }

    // The smallest member at or above `level`, or -1.
    int64_t above(uint64_t level) const {
        size_t k = 0;
        for (;; ++k) {
            if (k == layers_.size()) return -1;
            const uint64_t w = level >> 6;
            if (w >= layers_[k].size()) return -1;
            const uint64_t bits = layers_[k][w] & (~uint64_t(0) << (level & 63));
            if (bits) {
                level = (w << 6) | uint64_t(__builtin_ctzll(bits));
                break;
            }
            level = w + 1;
        }
        while (k-- > 0) level = (level << 6) | uint64_t(__builtin_ctzll(layers_[k][level]));
        return int64_t(level);
    }

    // The largest member at or below `level`, or -1.
    int64_t below(uint64_t level) const {
        size_t k = 0;
        for (;; ++k) {
            if (k == layers_.size()) return -1;
            const uint64_t w = level >> 6;
            const unsigned b = unsigned(level & 63);
            const uint64_t bits = layers_[k][w] & (b == 63 ? ~uint64_t(0) : (uint64_t(1) << (b + 1)) - 1);
            if (bits) {
                level = (w << 6) | uint64_t(63 - __builtin_clzll(bits));
                break;
            }
            if (w == 0) return -1;
            level = w - 1;
        }
        while (k-- > 0) level = (level << 6) | uint64_t(63 - __builtin_clzll(layers_[k][level]));
        return int64_t(level);
    }

private:
    std::vector<std::vector<uint64_t>> layers_;
};

// The Khalimsky grid of a (padded) image of pd x ph x pw pixels: 2p - 1
// points along each axis of the image (one along the depth of a 2-D image),
// stored with a border of sentinel points around them so that the 4 or 6
// neighbours of every point are at fixed offsets.
struct KhalimskyGrid {
    bool volume;
    uint64_t kd, kh, kw;  // points per axis
    uint64_t sd, sh, sw;  // stored per axis, sentinels included

    KhalimskyGrid(bool isVolume, uint64_t pd, uint64_t ph, uint64_t pw)
        : volume(isVolume),
          kd(isVolume ? 2 * pd - 1 : 1),
          kh(2 * ph - 1),
          kw(2 * pw - 1),
          sd(isVolume ? kd + 2 : 1),
          sh(kh + 2),
          sw(kw + 2) {}
    uint64_t size() const { return sd * sh * sw; }
    uint64_t points() const { return kd * kh * kw; }
    uint64_t at(uint64_t z, uint64_t y, uint64_t x) const { return ((z + (volume ? 1 : 0)) * sh + y + 1) * sw + x + 1; }
};

// How far apart two levels are, in the arithmetic of their pixel type (the
// propagation goes to the nearest pending level, the lower one on ties).
template <typename T>
using Difference =
    std::conditional_t<std::is_floating_point_v<T>, T, std::conditional_t<(sizeof(T) >= 8), long double, int64_t>>;

// The tree of shapes of an image given as ranks (per pixel, ranks ordered
// as the levels; valueOf gives the level of each rank), with links of type L
// between the points: the grid's points must be below 2^(bits of L - 1) - 2^16 - 1.
template <typename T, typename R, typename L>
ShapesTreeArrays buildRankedWith(const Grid& grid, bool volume, bool padded, const R* pixelRanks, R padRank,
                                 uint64_t numLevels, const std::vector<T>& valueOf) {
    const uint64_t o = padded ? 1 : 0;
    const uint64_t pd = grid.depth + (volume ? 2 * o : 0), ph = grid.height + 2 * o, pw = grid.width + 2 * o;
    std::vector<R> own;
    const R* image = pixelRanks;
    if (padded) {
        own.assign(pd * ph * pw, padRank);
        for (uint64_t z = 0; z < grid.depth; ++z)
            for (uint64_t y = 0; y < grid.height; ++y)
                std::copy_n(pixelRanks + (z * grid.height + y) * grid.width, grid.width,
                            own.data() + ((z + (volume ? o : 0)) * ph + y + o) * pw + o);
        image = own.data();
    }
    const KhalimskyGrid k(volume, pd, ph, pw);
    if (k.size() >= kNone)
        throw std::invalid_argument("image is too large for the tree of shapes: its Khalimsky grid has " +
                                    std::to_string(k.size()) + " points, at most 4294967294 are supported");
    InterruptPoll poll;

    // Per point, its link: while unreached, kUnseen plus, for 8-bit levels,
    // its interval [lo, hi] as lo << 8 | hi; while queued, the next in the
    // queue (kEnd: none); once out, its run with the top bit set. One read
    // tells a neighbour's state and run (and for 8-bit levels its interval).
    // The sentinels hold kEnd, as if queued forever.
    // Big arrays on huge pages: neighbours a row or a plane away would miss the TLB.
    using flood::HugePageArray;
    constexpr bool kPacked = sizeof(R) == 1;
    constexpr L kOut = L(1) << (8 * sizeof(L) - 1), kUnseen = kOut - 0x10000, kEnd = kUnseen - 1;
    HugePageArray<L> links(k.size());
    for (uint64_t sz = 0; sz < k.sd; ++sz)
        for (uint64_t sy = 0; sy < k.sh; ++sy) {
            L* row = links.data() + (sz * k.sh + sy) * k.sw;
            if (sy == 0 || sy + 1 == k.sh || (volume && (sz == 0 || sz + 1 == k.sd))) {
                std::fill_n(row, k.sw, kEnd);
            } else {
                row[0] = kEnd;
                row[k.sw - 1] = kEnd;
            }
        }
    // The interval-valued map: [lo, hi] at every point, from the 1, 2, 4 or 8
    // pixels around it, in the links or, for wider levels, in arrays of their own.
    HugePageArray<R> lo(kPacked ? 0 : k.size());
    auto hi = std::make_unique<HugePageArray<R>>(kPacked ? 0 : k.size());
    {
        std::vector<R> columnLo(pw), columnHi(pw);
        for (uint64_t kz = 0; kz < k.kd; ++kz)
            for (uint64_t ky = 0; ky < k.kh; ++ky) {
                const R* rows[4] = {image + ((kz / 2) * ph + ky / 2) * pw, image + ((kz / 2) * ph + (ky + 1) / 2) * pw,
                                    image + (((kz + 1) / 2) * ph + ky / 2) * pw,
                                    image + (((kz + 1) / 2) * ph + (ky + 1) / 2) * pw};
                for (uint64_t x = 0; x < pw; ++x) {
                    columnLo[x] = std::min(std::min(rows[0][x], rows[1][x]), std::min(rows[2][x], rows[3][x]));
                    columnHi[x] = std::max(std::max(rows[0][x], rows[1][x]), std::max(rows[2][x], rows[3][x]));
                }
                const uint64_t first = k.at(kz, ky, 0);
                L* rowLinks = links.data() + first;
                if constexpr (kPacked) {
                    for (uint64_t x = 0; x + 1 < pw; ++x) {
                        rowLinks[2 * x] = kUnseen | L(columnLo[x]) << 8 | columnHi[x];
                        rowLinks[2 * x + 1] = kUnseen | L(std::min(columnLo[x], columnLo[x + 1])) << 8 |
                                              std::max(columnHi[x], columnHi[x + 1]);
                    }
                    rowLinks[2 * (pw - 1)] = kUnseen | L(columnLo[pw - 1]) << 8 | columnHi[pw - 1];
                } else {
                    R* rowLo = lo.data() + first;
                    R* rowHi = hi->data() + first;
                    for (uint64_t x = 0; x + 1 < pw; ++x) {
                        rowLo[2 * x] = columnLo[x];
                        rowHi[2 * x] = columnHi[x];
                        rowLo[2 * x + 1] = std::min(columnLo[x], columnLo[x + 1]);
                        rowHi[2 * x + 1] = std::max(columnHi[x], columnHi[x + 1]);
                    }
                    rowLo[2 * (pw - 1)] = columnLo[pw - 1];
                    rowHi[2 * (pw - 1)] = columnHi[pw - 1];
                    std::fill_n(rowLinks, k.kw, kUnseen);
                }
                poll.step(uint32_t(k.kw));
            }
    }
    // The interval of an unreached point.
    auto interval = [&](uint64_t n, L link, R& low, R& high) {
        if constexpr (kPacked) {
            low = R(link >> 8);
            high = R(link);
        } else {
            low = lo[n];
            high = (*hi)[n];
        }
    };
    const int64_t step[3] = {1, int64_t(k.sw), int64_t(k.sw * k.sh)};
    const int numSteps = volume ? 3 : 2;
    // The offsets of a point's neighbours: along x, y and z, each forward then back.
    const int64_t offsets[6] = {step[0], -step[0], step[1], -step[1], step[2], -step[2]};
    const int numNeighbours = 2 * numSteps;

    // Propagation from the exterior (the first point): each point reached is
    // queued at the level of its interval nearest the current level; the
    // current level moves to the nearest pending level when its own runs out.
    // The points taken out while the current level stays the same form a
    // period; two neighbours of one period are in one shape (a union-find of
    // the points in the reverse order links them through that period alone).
    // Each level's queue is a stack, so the points queued at the current
    // level by a point come out before those queued earlier: a point queued
    // before its period joins a run of the period it touches or starts one,
    // and every point queued during the period joins the run of the point
    // that queued it. Runs are numbered as they start, and the shapes keep
    // the order of their first runs; taking a point out records the pairs of
    // runs it touches, so that the union-find joins runs, not points.
    const uint32_t exterior = uint32_t(k.at(0, 0, 0));
    std::vector<R> runLevel;
    std::vector<uint64_t> touches;  // pairs of runs touching: the earlier in the high half
    {
        std::vector<L> head(numLevels, kEnd);
        LevelSet pending(numLevels);
        const int64_t lead = kLead * step[numSteps - 1];
        R exteriorLow, exteriorHigh;
        interval(exterior, links[exterior], exteriorLow, exteriorHigh);
        links[exterior] = kEnd;
        head[exteriorLow] = exterior;
        pending.insert(exteriorLow);
        uint64_t current = exteriorLow;
        uint64_t inRun = 0;  // queued at the current level by the current run, not yet out
        uint32_t run = kNone, periodStart = 0;
        // The pairs of runs touching recorded lately, to record each pair about once.
        constexpr uint32_t kRecent = 256;
        std::vector<uint64_t> recent(kRecent, ~uint64_t(0));
        for (uint64_t left = 1; left > 0;) {
            if (head[current] == kEnd) {
                const int64_t up = pending.above(current), down = pending.below(current);
                using D = Difference<T>;
                if (up < 0 ||
                    (down >= 0 && !(D(valueOf[up]) - D(valueOf[current]) < D(valueOf[current]) - D(valueOf[down]))))
                    current = uint64_t(down);
                else current = uint64_t(up);
                periodStart = uint32_t(runLevel.size());
            }
            const uint32_t p = uint32_t(head[current]);
            head[current] = links[p];
            if (head[current] == kEnd) pending.erase(current);
            else {
                // The next point out, unless p queues one at this level: fetch
                // the memory of its neighbours.
                const uint32_t q = uint32_t(head[current]);
                __builtin_prefetch(&links[q], 0);
                for (int j = 0; j < numNeighbours; ++j) {
                    const uint32_t n = uint32_t(int64_t(q) + offsets[j]);
                    if constexpr (!kPacked) {
                        __builtin_prefetch(&lo[n], 0);
                        __builtin_prefetch(&(*hi)[n], 0);
                    }
                    __builtin_prefetch(&links[n], 1);
                }
            }
            --left;
            if (inRun > 0) {
                --inRun;
            } else {
                // Queued before this period: it joins a run of this period it
                // touches (one level, connected: one shape), or starts one.
                run = kNone;
                for (int j = 0; j < numNeighbours; ++j) {
                    const L link = links[uint32_t(int64_t(p) + offsets[j])];
                    if (link >= (kOut | periodStart)) {
                        run = uint32_t(link & ~kOut);
                        break;
                    }
                }
                if (run == kNone) {
                    run = uint32_t(runLevel.size());
                    runLevel.push_back(R(current));
                }
            }
            links[p] = L(run) | kOut;
            if (int64_t(p) >= lead) {
                const uint32_t f = uint32_t(int64_t(p) - lead);
                if constexpr (!kPacked) {
                    __builtin_prefetch(&lo[f], 0);
                    __builtin_prefetch(&(*hi)[f], 0);
                }
                __builtin_prefetch(&links[f], 1);
            }
            const R here = R(current);
            // The runs of the neighbours out, other than p's, are gathered
            // without a branch on whether a neighbour is out (unpredictable),
            // and recorded after.
            uint32_t touching[6];
            unsigned numTouching = 0;
            for (int j = 0; j < numNeighbours; ++j) {
                const uint32_t n = uint32_t(int64_t(p) + offsets[j]);
                const L link = links[n];
                if (L(link - kUnseen) >= 0x10000) {
                    const uint32_t other = uint32_t(link & ~kOut);
                    touching[numTouching] = other;
                    numTouching += unsigned((link >= kOut) & (other != run));
                    continue;
                }
                R low, high;
                interval(n, link, low, high);
                const R l = std::min(high, std::max(low, here));
                if (head[l] == kEnd) pending.insert(l);
                links[n] = head[l];
                head[l] = n;
                if (l == here) ++inRun;
                ++left;
            }
            for (unsigned i = 0; i < numTouching; ++i) {
                const uint32_t other = touching[i];
                const uint64_t pair = uint64_t(other) << 32 | run;
                if (recent[other & (kRecent - 1)] == pair) continue;
                recent[other & (kRecent - 1)] = pair;
                if (touches.size() == kNone)
                    throw std::invalid_argument(
                        "image is too large for the tree of shapes: its regions touch more than "
                        "4294967294 times");
                touches.push_back(uint64_t(std::min(other, run)) << 32 | std::max(other, run));
            }
            poll.step();
        }
    }
    hi.reset();
    const uint64_t numRuns = runLevel.size();

    // Union-find of the runs in the reverse order, as for a max-tree of the
    // order: sets joined by rank, each set's newest run (the root of its tree)
    // kept beside it.
    // Per run, the later runs touching it: touchTo[touchStart[a] ..
    // touchStart[a + 1]), gathered by a counting sort.
    std::vector<uint32_t> touchStart(numRuns + 1, 0), touchTo(touches.size());
    for (const uint64_t t : touches) ++touchStart[(t >> 32) + 1];
    for (uint64_t a = 0; a < numRuns; ++a) touchStart[a + 1] += touchStart[a];
    {
        std::vector<uint32_t> next(touchStart.begin(), touchStart.end() - 1);
        for (const uint64_t t : touches) touchTo[next[t >> 32]++] = uint32_t(t);
    }
    std::vector<uint64_t>().swap(touches);
    std::vector<uint32_t> parent(numRuns);
    {
        std::vector<uint32_t> zpar(numRuns), newest(numRuns);
        std::vector<uint8_t> rank(numRuns, 0);
        for (uint64_t a = numRuns; a-- > 0;) {
            parent[a] = uint32_t(a);
            zpar[a] = uint32_t(a);
            newest[a] = uint32_t(a);
            uint32_t set = uint32_t(a);
            for (uint32_t e = touchStart[a]; e < touchStart[a + 1]; ++e) {
                uint32_t r = touchTo[e];
                while (zpar[r] != r) {
                    const uint32_t g = zpar[zpar[r]];
                    zpar[r] = g;
                    r = g;
                }
                if (r == set) continue;
                parent[newest[r]] = uint32_t(a);
                if (rank[set] < rank[r]) std::swap(set, r);
                zpar[r] = set;
                if (rank[set] == rank[r]) ++rank[set];
                newest[set] = uint32_t(a);
            }
            poll.step();
        }
    }
    std::vector<uint32_t>().swap(touchStart);
    std::vector<uint32_t>().swap(touchTo);
    // Canonical runs: one per shape (its first), the parent of every other
    // run of it.
    for (uint64_t a = 0; a < numRuns; ++a) {
        const uint32_t q = parent[a];
        if (runLevel[parent[q]] == runLevel[q]) parent[a] = parent[q];
    }
    // Per run, its shape's canonical run.
    std::vector<uint32_t> shapeOf(numRuns);
    for (uint64_t a = 0; a < numRuns; ++a)
        shapeOf[a] = a == 0 || runLevel[parent[a]] != runLevel[a] ? uint32_t(a) : parent[a];
    auto pointOfPixel = [&](uint64_t z, uint64_t y, uint64_t x) {
        return uint64_t(k.at(2 * (z + (volume ? o : 0)), 2 * (y + o), 2 * (x + o)));
    };

    // The shapes that hold a pixel of the image, and the root: each pixel's
    // shape, then its ancestors up to the first one already kept, so that
    // only the kept shapes are visited. The pixel map holds the shapes until
    // they have ids.
    ShapesTreeArrays tree;
    tree.pixelNode.resize(grid.numPixels());
    std::vector<uint32_t> id(numRuns, kNone);  // kNone: not kept
    id[0] = 0;
    {
        uint32_t* shape = tree.pixelNode.data();
        for (uint64_t z = 0; z < grid.depth; ++z)
            for (uint64_t y = 0; y < grid.height; ++y) {
                const uint64_t first = pointOfPixel(z, y, 0);
                for (uint64_t x = 0; x < grid.width; ++x) {
                    uint32_t s = shapeOf[uint32_t(links[first + 2 * x] & ~kOut)];
                    *shape++ = s;
                    for (; id[s] == kNone; s = parent[s]) id[s] = 0;
                }
            }
    }

    // Ids in the order of the runs: parents first.
    std::vector<T> altitudes;
    for (uint64_t a = 0; a < numRuns; ++a) {
        if (id[a] == kNone) continue;
        id[a] = uint32_t(tree.parents.size());
        tree.parents.push_back(a == 0 ? ShapesTreeArrays::kNoParent : id[parent[a]]);
        altitudes.push_back(valueOf[runLevel[a]]);
    }
    for (uint32_t& node : tree.pixelNode) node = id[node];
    tree.altitudes.resize(altitudes.size() * sizeof(T));
    if (!altitudes.empty()) std::memcpy(tree.altitudes.data(), altitudes.data(), tree.altitudes.size());
    return tree;
}

// The tree of shapes with 32-bit links between the points when the grid
// has fewer than 2^31 - 2^16 - 1 points, 64-bit ones otherwise.
template <typename T, typename R>
ShapesTreeArrays buildRanked(const Grid& grid, bool volume, bool padded, const R* pixelRanks, R padRank,
                             uint64_t numLevels, const std::vector<T>& valueOf) {
    const uint64_t o = padded ? 1 : 0;
    const KhalimskyGrid k(volume, grid.depth + (volume ? 2 * o : 0), grid.height + 2 * o, grid.width + 2 * o);
    if (k.size() < 0x7FFEFFFFu)
        return buildRankedWith<T, R, uint32_t>(grid, volume, padded, pixelRanks, padRank, numLevels, valueOf);
    return buildRankedWith<T, R, uint64_t>(grid, volume, padded, pixelRanks, padRank, numLevels, valueOf);
}

// The level around the image: zero, or the mean of the pixels on the image's
// border, truncated toward zero for integer types.
template <typename T>
T paddingValue(const T* values, const Grid& grid, bool volume, ShapesPadding padding) {
    if (padding != ShapesPadding::Mean) return T(0);
    double sum = 0;
    uint64_t count = 0;
    for (uint64_t z = 0; z < grid.depth; ++z)
        for (uint64_t y = 0; y < grid.height; ++y) {
            const bool borderRow = (volume && (z == 0 || z + 1 == grid.depth)) || y == 0 || y + 1 == grid.height;
            const T* row = values + (z * grid.height + y) * grid.width;
            for (uint64_t x = 0; x < grid.width; x += borderRow || x + 1 == grid.width ? 1 : grid.width - 1) {
                sum += double(row[x]);
                ++count;
            }
        }
    const double mean = sum / double(count);
    if (std::isnan(mean))
        throw std::invalid_argument(
            "the mean of the border pixels is NaN (the border holds both infinities); "
            "pad with 'zero' or 'none'");
    if constexpr (std::is_floating_point_v<T>) {
        return T(mean);
    } else {
        // Within the type's range: the sum of wide levels is rounded to a double.
        const double low = double(std::numeric_limits<T>::lowest()), high = double(std::numeric_limits<T>::max());
        const double truncated = std::trunc(mean);
        if (truncated <= low) return std::numeric_limits<T>::lowest();
        if (truncated >= high) return std::numeric_limits<T>::max();
        return T(truncated);
    }
}

template <typename T>
ShapesTreeArrays buildTyped(const AnyImage& image, bool volume, ShapesPadding padding) {
    const T* values = static_cast<const T*>(image.data);
    const uint64_t n = image.grid.numPixels();
    refuseNaN(values, n);
    const bool padded = padding != ShapesPadding::None;
    const T pad = paddingValue(values, image.grid, volume, padding);
    using Key = decltype(levelKey(T()));
    if constexpr (sizeof(Key) <= 2) {
        // The keys are the ranks, and their differences the levels'.
        std::vector<T> valueOf(uint64_t(1) << (8 * sizeof(Key)));
        for (uint64_t v = 0; v < valueOf.size(); ++v) {
            const T level = T(typename std::make_unsigned<T>::type(v));
            valueOf[levelKey(level)] = level;
        }
        std::vector<Key> ranks(n);
        for (uint64_t p = 0; p < n; ++p) ranks[p] = levelKey(values[p]);
        return buildRanked<T, Key>(image.grid, volume, padded, ranks.data(), levelKey(pad), valueOf.size(), valueOf);
    } else {
        std::vector<Key> keys(n + 1);
        for (uint64_t p = 0; p < n; ++p) keys[p] = levelKey(values[p]);
        keys[n] = levelKey(pad);
        DenseRanks dense = denseRanks(keys.data(), padded ? n + 1 : n, false);
        std::vector<Key>().swap(keys);
        std::vector<T> valueOf(dense.pixelOfRank.size());
        for (uint64_t r = 0; r < valueOf.size(); ++r)
            valueOf[r] = dense.pixelOfRank[r] < n ? values[dense.pixelOfRank[r]] : pad;
        const uint32_t padRank = padded ? dense.rank[n] : 0;
        return buildRanked<T, uint32_t>(image.grid, volume, padded, dense.rank.data(), padRank, valueOf.size(),
                                        valueOf);
    }
}

}  // namespace

ShapesTreeArrays buildTreeOfShapes(const AnyImage& image, int ndim, ShapesPadding padding) {
    if (ndim != 2 && ndim != 3)
        throw std::invalid_argument("image must be 2-D or 3-D, got " + std::to_string(ndim) + " dimensions");
    if (ndim == 2 && image.grid.depth != 1) throw std::invalid_argument("a 2-D image has depth 1");
    if (image.grid.numPixels() == 0) throw std::invalid_argument("image is empty");
    const bool volume = ndim == 3;
    switch (image.type) {
        case PixelType::Bool:
        case PixelType::UInt8:
            return buildTyped<uint8_t>(image, volume, padding);
        case PixelType::Int8:
            return buildTyped<int8_t>(image, volume, padding);
        case PixelType::UInt16:
            return buildTyped<uint16_t>(image, volume, padding);
        case PixelType::Int16:
            return buildTyped<int16_t>(image, volume, padding);
        case PixelType::UInt32:
            return buildTyped<uint32_t>(image, volume, padding);
        case PixelType::Int32:
            return buildTyped<int32_t>(image, volume, padding);
        case PixelType::Int64:
            return buildTyped<int64_t>(image, volume, padding);
        case PixelType::Float32:
            return buildTyped<float>(image, volume, padding);
        case PixelType::Float64:
            return buildTyped<double>(image, volume, padding);
    }
    throw std::invalid_argument("unsupported pixel type");
}

}  // namespace vexa
