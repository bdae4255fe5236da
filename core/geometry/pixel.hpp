#pragma once
#include <cstdint>

namespace vexa {

// A pixel by row and column; starts the bounding box of a new node.
struct Pixel {
    int32_t row;
    int32_t col;
};

}  // namespace vexa
