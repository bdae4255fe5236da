#pragma once
// The tree of shapes of 2-D and 3-D images: the connected components of the
// upper and lower level sets with their holes filled, nested in one tree.
//
// The image is immersed on the Khalimsky grid as an interval-valued map (a
// pixel keeps its value; an edge, face or corner between pixels takes the
// interval from the smallest to the largest value around it), whose level
// lines never cross. The points of that grid are sorted by propagation from
// the exterior with a hierarchical queue, which gathers them into connected
// runs of one level as it goes; the runs are then joined by union-find in the
// reverse order, as for a max-tree of the points (Géraud, Carlinet, Crozet and Najman,
// "A quasi-linear algorithm to compute the tree of shapes of n-D images",
// ISMM 2013). Only the shapes that hold a pixel of the image are kept, and
// the root.
#include <cstdint>
#include <vector>

#include "core/runtime/reused_memory.hpp"
#include "core/trees/any_tree.hpp"

namespace vexa {

// What surrounds the image: nothing (the exterior is the first pixel), a
// border of zeros, or a border at the mean level of the pixels on the
// image's border, truncated toward zero for integer pixel types.
enum class ShapesPadding { None, Mean, Zero };

struct ShapesTreeArrays {
    static constexpr uint32_t kNoParent = 0xFFFFFFFFu;
    std::vector<uint32_t> parents;         // parents before children; kNoParent for the root
    ReusedVector<uint32_t> pixelNode;      // per pixel of the image, its smallest shape
    std::vector<unsigned char> altitudes;  // per node, its level in the image's pixel type
};

// The tree of shapes of a dense 2-D (grid.depth = 1, ndim = 2) or 3-D image.
// Empty images, NaN and grids too large for 32-bit indices:
// std::invalid_argument. Polls for interruption.
ShapesTreeArrays buildTreeOfShapes(const AnyImage& image, int ndim, ShapesPadding padding);

}  // namespace vexa
