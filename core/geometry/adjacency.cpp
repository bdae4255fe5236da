#include "core/geometry/adjacency.hpp"

#include <algorithm>
#include <cmath>

namespace vexa {

std::vector<Offset> adjacencyOffsets(float radius, uint32_t maxDx, uint32_t maxDy) {
    std::vector<Offset> offsets;
    const float ceiling = std::ceil(radius);
    if (!(ceiling >= 0.0f)) return offsets;  // negative radius or NaN
    const double limit = double(radius * radius) + 1e-6;
    // Bound the loops without converting a huge float to an integer.
    const int64_t R = ceiling >= 2147483647.0f ? 2147483647 : int64_t(ceiling);
    const int64_t ry = std::min<int64_t>(R, maxDy);
    const int64_t rx = std::min<int64_t>(R, maxDx);
    for (int64_t dy = -ry; dy <= ry; ++dy) {
        for (int64_t dx = -rx; dx <= rx; ++dx) {
            if (dx == 0 && dy == 0) continue;
            if (limit >= double(dx * dx + dy * dy)) offsets.push_back({int32_t(dx), int32_t(dy)});
        }
    }
    return offsets;
}

}  // namespace vexa
