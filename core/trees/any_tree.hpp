#pragma once
// Component trees of 2-D and 3-D images of any pixel type, for the vexa
// package (the 8-bit MaxTree and MinTree classes keep their own geometry).
#include <cstdint>
#include <vector>

#include "core/trees/component_forest.hpp"

namespace vexa {

enum class PixelType { Bool, UInt8, Int8, UInt16, Int16, UInt32, Int32, Int64, Float32, Float64 };

// A dense, native-order block of pixels, (depth,) height, width.
struct AnyImage {
    const void* data = nullptr;
    PixelType type = PixelType::UInt8;
    Grid grid;
};

// The tree as flat arrays: parents (kNoParent for the root), per pixel its
// node, and per node a pixel holding the node's level.
struct ComponentTreeArrays {
    static constexpr uint32_t kNoParent = 0xFFFFFFFFu;
    ReusedVector<uint32_t> parents;
    ReusedVector<uint32_t> pixelNode;
    ReusedVector<uint32_t> levelPixel;
};

// The max-tree (brightest levels deepest) or the min-tree. Ids: parents
// before children; ranks of the last processed level first, within a level
// by descending largest pixel index. NaN: std::invalid_argument. bands = 0
// plans the bands from the thread budget, for every pixel type and grid.
ComponentTreeArrays buildComponentTree(const AnyImage& image, int ndim, int connectivity, bool maxTree,
                                       unsigned bands = 0);

// The level of each node, in the image's type: out[i] = the value of pixel
// levelPixel[i] (pixelBytes 1, 2, 4 or 8 bytes each), for n nodes, on up to
// `threads` threads.
void gatherLevels(const void* pixels, size_t pixelBytes, const uint32_t* levelPixel, size_t n, void* out,
                  unsigned threads);

}  // namespace vexa
