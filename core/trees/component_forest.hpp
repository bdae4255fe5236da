#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/geometry/adjacency.hpp"
#include "core/runtime/reused_memory.hpp"

namespace vexa {

// rank[level] is the position of the level in the processing order: pixels
// of lower rank are processed first and lie deeper in the tree.
using LevelRanks = std::array<uint8_t, 256>;

// The components of a component tree before they get their final ids,
// numbered provisionally. Each band of the image numbers its components from
// the linear index of its first pixel: a component always owns at least one
// compact pixel, so the ranges never overlap, and the gaps between them are
// never touched (so never made resident).
template <typename Rank>
struct BasicComponentForest {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Component {
        uint32_t parent;  // provisional number of the parent, kNone for a root
        uint32_t size;    // compact pixels
    };
    // Components numbered [first, end) and pixels [firstPixel, endPixel).
    struct Band {
        uint32_t first, end;
        uint64_t firstPixel, endPixel;
    };
    ReusedVector<Component> components;
    ReusedVector<Rank> ranks;            // rank of each component's level
    ReusedVector<uint32_t> componentOf;  // per pixel: the component holding it as compact pixel
    // With levels sorted beforehand: per component, the last position in
    // their order of its compact pixels (empty otherwise).
    ReusedVector<uint32_t> lastPosition;
    std::vector<Band> bands;
    // Components fused into another one of the same rank are marked in
    // fusedBits and point to it in alias (fully compressed; other entries are
    // never written); both empty when nothing was fused. `fused` lists them.
    ReusedVector<uint32_t> alias;
    std::vector<uint64_t> fusedBits;
    std::vector<uint32_t> fused;

    bool isFused(uint32_t c) const { return !fusedBits.empty() && (fusedBits[c >> 6] >> (c & 63) & 1); }
    // The component that c was fused into (c itself when it was not).
    uint32_t live(uint32_t c) const { return isFused(c) ? alias[c] : c; }
    bool isLive(uint32_t c) const { return !isFused(c); }
};

using ComponentForest = BasicComponentForest<uint8_t>;

// How a build splits its work: `bands` slabs along the slowest axis, flooded
// on up to `threads` threads. Bands never change the tree, only the work.
struct BuildPlan {
    unsigned bands = 1;
    unsigned threads = 1;
};

// Images below this many pixels are built on one thread: starting threads
// would cost more than it saves.
constexpr uint64_t kParallelPixels = uint64_t(1) << 18;

// The plan of the current thread budget for a grid whose neighbours reach
// `reach` slabs along the band axis: one band per thread for large images,
// each at least a few neighbour reaches thick.
BuildPlan automaticPlan(const Grid& grid, uint32_t reach);
// The same with a given band count (more bands than threads is allowed).
BuildPlan plannedBands(const Grid& grid, uint32_t reach, unsigned bands);

// Components of a connected adjacency of an 8-bit image, by flooding with a
// hierarchical queue; the bands are flooded in parallel and merged along
// their seams.
ComponentForest floodComponents(const uint8_t* levels, const Grid& grid, const LevelRanks& rank,
                                const std::vector<GridOffset>& offsets, const BuildPlan& plan);

// Every pixel adjacent to every other: one component per level present.
ComponentForest levelComponents(const uint8_t* levels, uint64_t numPixels, const LevelRanks& rank);

// No adjacency: every pixel is a parentless component of its own.
ComponentForest isolatedComponents(const uint8_t* levels, uint64_t numPixels, const LevelRanks& rank);

}  // namespace vexa
