#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "core/adjacency.hpp"
#include "core/image_view.hpp"
#include "core/morphological_tree.hpp"

namespace vexa {

// rank[level] is the position of the level in the processing order: pixels
// of lower rank are processed first and lie deeper in the tree.
using LevelRanks = std::array<uint8_t, 256>;

// The components of a component tree before they get their final ids,
// indexed by a provisional component number. Kept small on purpose: a noise
// image has about one component for every two pixels.
struct ComponentForest {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Component {
        uint32_t parent;  // provisional number of the parent, kNone for a root
        uint32_t size;    // compact pixels
    };
    std::vector<Component> components;
    std::vector<uint8_t> ranks;         // rank of each component's level
    std::vector<uint32_t> componentOf;  // per pixel: the component holding it as compact pixel
    // Components fused into another one of the same rank point to it here;
    // empty when nothing was fused.
    std::vector<uint32_t> alias;

    // The component that c was fused into (c itself when it was not).
    uint32_t live(uint32_t c) const { return alias.empty() ? c : alias[c]; }
    bool isLive(uint32_t c) const { return alias.empty() || alias[c] == c; }
};

// Components of a connected adjacency, by flooding with a hierarchical queue
// of 256 buckets: linear in pixels times offsets, and each step touches
// pixels near the previous one. Large images are flooded as two bands on two
// threads, whose trees are then merged along the seam.
ComponentForest floodComponents(const ImageView& image, const LevelRanks& rank,
                                const std::vector<Offset>& offsets);
// Images of at least this many pixels are built on two threads: flooded as
// two bands, ids assigned in two halves (tests lower it).
extern uint64_t parallelThreshold;

// Every pixel adjacent to every other: one component per level present.
ComponentForest levelComponents(const ImageView& image, const LevelRanks& rank);

// No adjacency: every pixel is a parentless component of its own.
ComponentForest isolatedComponents(const ImageView& image, const LevelRanks& rank);

}  // namespace vexa
