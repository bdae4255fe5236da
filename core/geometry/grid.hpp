#pragma once
#include <cstdint>

namespace vexa {

// A box of pixels with up to three axes, slowest first; a 2-D image has
// depth 1. Pixel (z, y, x) has the linear index (z * height + y) * width + x.
struct Grid {
    uint32_t depth = 1, height = 0, width = 0;
    uint64_t numPixels() const { return uint64_t(depth) * height * width; }
    bool isVolume() const { return depth > 1; }
};

}  // namespace vexa
