#pragma once
#include <cstdint>
#include <vector>

namespace vexa {

// One neighbour step: column offset dx and row offset dy.
struct Offset {
    int32_t dx;
    int32_t dy;
    bool operator==(const Offset& o) const { return dx == o.dx && dy == o.dy; }
};

// Every nonzero integer offset of squared length at most r^2 + 1e-6, listed
// row-major over the square [-R, R]^2 with R = ceil(r) (topmost row first,
// left to right). NaN and radii below the 4-neighbour ring give no offsets.
//
// maxDx / maxDy bound |dx| / |dy|: offsets that leave every image of that size
// can never name a neighbour, so bounding them changes no adjacency and keeps
// huge radii cheap. The defaults leave the list unbounded in practice.
std::vector<Offset> adjacencyOffsets(float radius, uint32_t maxDx = 0x7FFFFFFF,
                                     uint32_t maxDy = 0x7FFFFFFF);

// Neighbours of (x, y) inside a numCols x numRows image, in offset order.
template <typename Visit>
inline void forEachNeighbour(const std::vector<Offset>& offsets, int64_t x, int64_t y,
                             uint32_t numCols, uint32_t numRows, Visit&& visit) {
    for (const Offset& o : offsets) {
        const int64_t nx = x + o.dx, ny = y + o.dy;
        if (nx < 0 || ny < 0 || nx >= numCols || ny >= numRows) continue;
        visit(uint32_t(ny * numCols + nx));
    }
}

}  // namespace vexa
