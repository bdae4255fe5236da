#include "core/geometry/image_view.hpp"

#include <stdexcept>

namespace vexa {

void checkImageSize(uint64_t numRows, uint64_t numCols) {
    if (numRows > 0xFFFFFFFFull || numCols > 0xFFFFFFFFull)
        throw std::runtime_error("Image dimensions must fit in 32 bits.");
    if (numRows != 0 && numCols > kMaxPixels / numRows)
        throw std::runtime_error("Image is too large: at most 4294967295 pixels are supported.");
}

}  // namespace vexa
