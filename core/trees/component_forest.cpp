#include "core/trees/component_forest.hpp"

#include <algorithm>
#include <numeric>

#include "core/runtime/threads.hpp"
#include "core/trees/flood.hpp"

namespace vexa {

using Component = ComponentForest::Component;
constexpr uint32_t kNone = ComponentForest::kNone;

BuildPlan plannedBands(const Grid& grid, uint32_t, unsigned bands) {
    const uint32_t extent = grid.isVolume() ? grid.depth : grid.height;
    BuildPlan plan;
    plan.bands = std::max(1u, std::min<unsigned>(bands, std::max<uint32_t>(extent, 1)));
    plan.threads = std::min(plan.bands, threadBudget());
    return plan;
}

BuildPlan automaticPlan(const Grid& grid, uint32_t reach) {
    if (grid.numPixels() < kParallelPixels) return BuildPlan{};
    // Bands thinner than a few neighbour reaches would spend their time on
    // seams.
    const uint32_t extent = grid.isVolume() ? grid.depth : grid.height;
    const unsigned thickEnough = std::max<uint32_t>(1, extent / (2 * reach + 2));
    return plannedBands(grid, reach, std::min(threadBudget(), thickEnough));
}

ComponentForest floodComponents(const uint8_t* levels, const Grid& grid, const LevelRanks& rank,
                                const std::vector<GridOffset>& offsets, const BuildPlan& plan) {
    return flood::floodGrid<uint8_t>(
        grid, 256, [&](uint64_t p) { return rank[levels[p]]; }, offsets, plan);
}

namespace {

ComponentForest oneBandForest(uint32_t numComponents, uint64_t numPixels) {
    ComponentForest forest;
    forest.components.resize(std::max<uint32_t>(numComponents, 1));
    forest.ranks.resize(std::max<uint32_t>(numComponents, 1));
    forest.componentOf.resize(numPixels);
    forest.bands.push_back({0, numComponents, 0, numPixels});
    return forest;
}

}  // namespace

ComponentForest levelComponents(const uint8_t* levels, uint64_t numPixels, const LevelRanks& rank) {
    std::array<uint32_t, 256> compOfRank;
    compOfRank.fill(kNone);
    for (uint64_t p = 0; p < numPixels; ++p) compOfRank[rank[levels[p]]] = 0;
    uint32_t count = 0;
    for (int r = 0; r < 256; ++r) count += compOfRank[r] != kNone;
    ComponentForest forest = oneBandForest(count, numPixels);
    // Ranks present, from the first processed (deepest) to the root's.
    uint32_t next = 0;
    for (int r = 0; r < 256; ++r) {
        if (compOfRank[r] == kNone) continue;
        if (next > 0) forest.components[next - 1].parent = next;
        compOfRank[r] = next;
        forest.components[next] = Component{kNone, 0};
        forest.ranks[next++] = uint8_t(r);
    }
    for (uint64_t p = 0; p < numPixels; ++p) {
        const uint32_t c = compOfRank[rank[levels[p]]];
        forest.componentOf[p] = c;
        ++forest.components[c].size;
    }
    return forest;
}

ComponentForest isolatedComponents(const uint8_t* levels, uint64_t numPixels, const LevelRanks& rank) {
    ComponentForest forest = oneBandForest(uint32_t(numPixels), numPixels);
    for (uint64_t p = 0; p < numPixels; ++p) {
        forest.ranks[p] = rank[levels[p]];
        forest.components[p] = Component{kNone, 1};
    }
    std::iota(forest.componentOf.begin(), forest.componentOf.end(), 0u);
    return forest;
}

}  // namespace vexa
