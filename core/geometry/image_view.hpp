#pragma once
#include <cstddef>
#include <cstdint>

namespace vexa {

// Largest number of pixels an image may have: pixel indices and node ids are
// unsigned 32-bit values, and UINT32_MAX is kept free as a sentinel.
constexpr uint64_t kMaxPixels = 0xFFFFFFFFull;

// A borrowed, dense, row-major block of 8-bit grey levels.
// Pixel i (row-major linear index row * numCols + col) is data[i].
struct ImageView {
    const uint8_t* data = nullptr;
    uint32_t numRows = 0;
    uint32_t numCols = 0;

    uint64_t numPixels() const { return uint64_t(numRows) * numCols; }
};

// Checks that a numRows x numCols image can be indexed with 32-bit pixel
// indices; throws std::runtime_error otherwise.
void checkImageSize(uint64_t numRows, uint64_t numCols);

}  // namespace vexa
