#pragma once
#include <cstdint>
#include <vector>

#include "core/geometry/grid.hpp"

namespace vexa {

// One neighbour step along each axis: planes, rows, columns.
struct GridOffset {
    int32_t dz, dy, dx;
    bool operator==(const GridOffset& o) const { return dz == o.dz && dy == o.dy && dx == o.dx; }
};

// The one generator of neighbour steps: every nonzero step with |dz|, |dy|,
// |dx| at most reachZ, reachY, reachX and squared length at most
// squaredLimit, in lexicographic order (planes, then rows, then columns, each
// ascending: in 2-D, topmost row first, left to right). Node ids and ties of
// the trees built with them follow this order.
std::vector<GridOffset> neighbourOffsets(int64_t reachZ, int64_t reachY, int64_t reachX, double squaredLimit);

// 2-D steps of squared length at most r^2 + 1e-6 (dz = 0). NaN and radii
// below the 4-neighbour ring give no steps.
//
// maxDx / maxDy bound |dx| / |dy|: steps that leave every image of that size
// can never name a neighbour, so bounding them changes no adjacency and keeps
// huge radii cheap. The defaults leave the list unbounded in practice.
std::vector<GridOffset> adjacencyOffsets(float radius, uint32_t maxDx = 0x7FFFFFFF, uint32_t maxDy = 0x7FFFFFFF);

// Steps of a connectivity as scikit-image defines it: at most 1 along each
// of the ndim axes, with at most `connectivity` axes changed.
// std::invalid_argument unless 2 <= ndim <= 3 and 1 <= connectivity <= ndim.
std::vector<GridOffset> connectivityOffsets(int ndim, int connectivity);
// The same without the steps that leave every pixel of `grid`.
std::vector<GridOffset> connectivityOffsets(const Grid& grid, int ndim, int connectivity);

// How many slabs along the slowest axis of `grid` (planes of a volume, rows
// of an image) the steps reach across.
uint32_t reachOf(const Grid& grid, const std::vector<GridOffset>& offsets);

// Neighbours of (x, y) inside a numCols x numRows image, in the order of the
// 2-D steps `offsets`.
template <typename Visit>
inline void forEachNeighbour(const std::vector<GridOffset>& offsets, int64_t x, int64_t y, uint32_t numCols,
                             uint32_t numRows, Visit&& visit) {
    for (const GridOffset& o : offsets) {
        const int64_t nx = x + o.dx, ny = y + o.dy;
        if (nx < 0 || ny < 0 || nx >= numCols || ny >= numRows) continue;
        visit(uint32_t(ny * numCols + nx));
    }
}

}  // namespace vexa
