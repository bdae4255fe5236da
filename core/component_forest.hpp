#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "core/adjacency.hpp"
#include "core/image_view.hpp"
#include "core/morphological_tree.hpp"

namespace vexa {

// The components of a component tree before they get their final ids:
// components in order of discovery, each with its parent component and the
// number of its compact pixels. Kept this small on purpose: a noise image
// has about one component for every two pixels.
struct ComponentForest {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Component {
        uint32_t parent;
        uint32_t size;
    };
    std::vector<Component> components;
    std::array<uint32_t, 256> componentsOfRank{};  // how many components each rank has
    std::vector<uint32_t> componentOf;  // per pixel: the component holding it as compact pixel
};

// rank[level] is the position of the level in the processing order: pixels
// of lower rank are processed first and lie deeper in the tree.
using LevelRanks = std::array<uint8_t, 256>;

// Components of a connected adjacency, by flooding from pixel 0 with a
// hierarchical queue of 256 buckets: linear in pixels times offsets, and each
// step touches pixels near the previous one.
ComponentForest floodComponents(const ImageView& image, const LevelRanks& rank,
                                const std::vector<Offset>& offsets);

// Every pixel adjacent to every other: one component per level present.
ComponentForest levelComponents(const ImageView& image, const LevelRanks& rank);

// No adjacency: every pixel is a parentless component of its own.
ComponentForest isolatedComponents(const ImageView& image, const LevelRanks& rank);

}  // namespace vexa
