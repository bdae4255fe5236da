#include "core/trees/any_tree.hpp"

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/runtime/parallel.hpp"
#include "core/trees/flood.hpp"
#include "core/trees/level_keys.hpp"
#include "core/trees/node_numbering.hpp"

namespace vexa {

namespace {

template <typename T>
const T* pixelsAs(const AnyImage& image) {
    return static_cast<const T*>(image.data);
}

// Floods with ranks given per pixel by rankOf, numbers the nodes and lays
// the tree out as flat arrays.
template <typename Rank, typename RankOf>
ComponentTreeArrays buildRanked(const Grid& grid, uint64_t numRanks, RankOf rankOf,
                                const std::vector<GridOffset>& offsets, const BuildPlan& plan) {
    BasicComponentForest<Rank> forest = flood::floodGrid<Rank>(grid, numRanks, rankOf, offsets, plan);
    const NodeNumbering numbering = numberNodes(forest, numRanks, plan.threads);
    ComponentTreeArrays tree;
    tree.parents.resize(numbering.numNodes);
    forEachNode(forest, numbering, plan.threads,
                [&](uint32_t, uint32_t id, uint32_t parent) { tree.parents[id] = parent; });
    decltype(forest.components)().swap(forest.components);
    decltype(forest.ranks)().swap(forest.ranks);
    decltype(forest.alias)().swap(forest.alias);
    tree.pixelNode = std::move(forest.componentOf);
    // A pixel of each node: any of its compact pixels has its level.
    tree.levelPixel.resize(numbering.numNodes);
    const uint64_t n = tree.pixelNode.size();
    forEachRange(n, plan.threads, plan.threads, [&](size_t, uint64_t begin, uint64_t end) {
        for (uint64_t p = begin; p < end; ++p) numbering::store(tree.levelPixel[tree.pixelNode[p]], uint32_t(p));
    });
    return tree;
}

// The same with the ranks of a processing order of the pixels.
ComponentTreeArrays buildSorted(const Grid& grid, const SortedLevels& levels, const std::vector<GridOffset>& offsets,
                                const BuildPlan& plan) {
    BasicComponentForest<uint32_t> forest = flood::floodGrid<uint32_t>(grid, levels.numLevels, levels, offsets, plan);
    ComponentTreeArrays tree;
    const NodeNumbering numbering = numberNodesAlong(forest, levels, tree.levelPixel, plan.threads);
    tree.parents.resize(numbering.numNodes);
    forEachNode(forest, numbering, plan.threads,
                [&](uint32_t, uint32_t id, uint32_t parent) { tree.parents[id] = parent; });
    tree.pixelNode = std::move(forest.componentOf);
    return tree;
}

template <typename T>
ComponentTreeArrays buildTyped(const AnyImage& image, const std::vector<GridOffset>& offsets, bool maxTree,
                               const BuildPlan& plan) {
    const T* values = pixelsAs<T>(image);
    const uint64_t n = image.grid.numPixels();
    using Key = decltype(levelKey(T()));
    if constexpr (sizeof(Key) == 1) {
        const uint8_t flip = maxTree ? 0xFF : 0;
        return buildRanked<uint8_t>(
            image.grid, 256, [&](uint64_t p) { return uint8_t(levelKey(values[p]) ^ flip); }, offsets, plan);
    } else if constexpr (sizeof(Key) == 2) {
        const uint16_t flip = maxTree ? 0xFFFF : 0;
        return buildRanked<uint16_t>(
            image.grid, 65536, [&](uint64_t p) { return uint16_t(levelKey(values[p]) ^ flip); }, offsets, plan);
    } else {
        refuseNaN(values, n, plan.threads);
        const SortedLevels levels =
            sortLevelsBy<Key>([values](uint64_t p) { return levelKey(values[p]); }, n, maxTree, true, plan.threads);
        refuseTooManyLevels(levels);
        return buildSorted(image.grid, levels, offsets, plan);
    }
}

}  // namespace

ComponentTreeArrays buildComponentTree(const AnyImage& image, int ndim, int connectivity, bool maxTree,
                                       unsigned bands) {
    const Grid& grid = image.grid;
    if (grid.numPixels() == 0) throw std::invalid_argument("image is empty");
    if (grid.numPixels() > 0xFFFFFFFFull)
        throw std::invalid_argument("image is too large: at most 4294967295 pixels are supported");
    const std::vector<GridOffset> offsets = connectivityOffsets(grid, ndim, connectivity);
    const uint32_t reach = reachOf(grid, offsets);
    const BuildPlan plan = bands == 0 ? automaticPlan(grid, reach) : plannedBands(grid, reach, bands);
    switch (image.type) {
        case PixelType::Bool:
            return buildTyped<bool>(image, offsets, maxTree, plan);
        case PixelType::UInt8:
            return buildTyped<uint8_t>(image, offsets, maxTree, plan);
        case PixelType::Int8:
            return buildTyped<int8_t>(image, offsets, maxTree, plan);
        case PixelType::UInt16:
            return buildTyped<uint16_t>(image, offsets, maxTree, plan);
        case PixelType::Int16:
            return buildTyped<int16_t>(image, offsets, maxTree, plan);
        case PixelType::UInt32:
            return buildTyped<uint32_t>(image, offsets, maxTree, plan);
        case PixelType::Int32:
            return buildTyped<int32_t>(image, offsets, maxTree, plan);
        case PixelType::Int64:
            return buildTyped<int64_t>(image, offsets, maxTree, plan);
        case PixelType::Float32:
            return buildTyped<float>(image, offsets, maxTree, plan);
        case PixelType::Float64:
            return buildTyped<double>(image, offsets, maxTree, plan);
    }
    throw std::invalid_argument("unsupported pixel type");
}

namespace {

template <typename Word>
void gatherWords(const void* pixels, const uint32_t* levelPixel, size_t n, void* out, unsigned threads) {
    const Word* from = static_cast<const Word*>(pixels);
    Word* to = static_cast<Word*>(out);
    forEachRange(n, n >= kParallelPixels ? threads : 1, threads, [&](size_t, uint64_t begin, uint64_t end) {
        for (uint64_t i = begin; i < end; ++i) to[i] = from[levelPixel[i]];
    });
}

}  // namespace

void gatherLevels(const void* pixels, size_t pixelBytes, const uint32_t* levelPixel, size_t n, void* out,
                  unsigned threads) {
    switch (pixelBytes) {
        case 1:
            return gatherWords<uint8_t>(pixels, levelPixel, n, out, threads);
        case 2:
            return gatherWords<uint16_t>(pixels, levelPixel, n, out, threads);
        case 4:
            return gatherWords<uint32_t>(pixels, levelPixel, n, out, threads);
        case 8:
            return gatherWords<uint64_t>(pixels, levelPixel, n, out, threads);
    }
    throw std::invalid_argument("pixels of " + std::to_string(pixelBytes) + " bytes are not supported");
}

}  // namespace vexa
