#include "core/geometry/adjacency.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vexa {

std::vector<GridOffset> neighbourOffsets(int64_t reachZ, int64_t reachY, int64_t reachX, double squaredLimit) {
    std::vector<GridOffset> offsets;
    for (int64_t dz = -reachZ; dz <= reachZ; ++dz)
        for (int64_t dy = -reachY; dy <= reachY; ++dy)
            for (int64_t dx = -reachX; dx <= reachX; ++dx) {
                if (dz == 0 && dy == 0 && dx == 0) continue;
                if (squaredLimit >= double(dz * dz + dy * dy + dx * dx))
                    offsets.push_back({int32_t(dz), int32_t(dy), int32_t(dx)});
            }
    return offsets;
}

std::vector<GridOffset> adjacencyOffsets(float radius, uint32_t maxDx, uint32_t maxDy) {
    const float ceiling = std::ceil(radius);
    if (!(ceiling >= 0.0f)) return {};  // negative radius or NaN
    // Bound the loops without converting a huge float to an integer.
    const int64_t R = ceiling >= 2147483647.0f ? 2147483647 : int64_t(ceiling);
    return neighbourOffsets(0, std::min<int64_t>(R, maxDy), std::min<int64_t>(R, maxDx),
                            double(radius * radius) + 1e-6);
}

namespace {

void checkConnectivity(int ndim, int connectivity) {
    if (ndim < 2 || ndim > 3 || connectivity < 1 || connectivity > ndim)
        throw std::invalid_argument("connectivity must be between 1 and " + std::to_string(ndim) + ", got " +
                                    std::to_string(connectivity));
}

}  // namespace

// Steps of at most 1 along each axis: the squared length counts the axes changed.
std::vector<GridOffset> connectivityOffsets(int ndim, int connectivity) {
    checkConnectivity(ndim, connectivity);
    return neighbourOffsets(ndim == 3 ? 1 : 0, 1, 1, double(connectivity));
}

std::vector<GridOffset> connectivityOffsets(const Grid& grid, int ndim, int connectivity) {
    checkConnectivity(ndim, connectivity);
    return neighbourOffsets(ndim == 3 && grid.depth >= 2 ? 1 : 0, grid.height >= 2 ? 1 : 0, grid.width >= 2 ? 1 : 0,
                            double(connectivity));
}

uint32_t reachOf(const Grid& grid, const std::vector<GridOffset>& offsets) {
    int32_t reach = 0;
    for (const GridOffset& o : offsets) reach = std::max(reach, std::abs(grid.isVolume() ? o.dz : o.dy));
    return uint32_t(reach);
}

}  // namespace vexa
