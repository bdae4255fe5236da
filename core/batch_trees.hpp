#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/any_tree.hpp"

// The component trees of a batch of equally shaped 2-D images, written into
// caller-owned arrays as one forest, with what a learnable filter needs of
// each node: its compact pixel count, area and bounding-box extents.
namespace vexa {

// Where the trees go: slots of one image's pixel count each (a tree has at
// most one node per pixel), tree i's nodes first in slot i, ids local to
// their image. Every thread writes its tree out as soon as it is built and
// frees it, so the next tree it builds reuses memory already mapped.
struct TreeSlots {
    int64_t* parents;    // slots of `pixels`; -1 for the root
    int64_t* pixelNode;  // the images' pixels, image after image
    int32_t* compact;    // slots of `pixels`
    int32_t* area;       // slots of `pixels`
    int32_t* extents;    // slots of 2 * `pixels`: rows, then columns, per node
    size_t pixels;
};

// Builds tree i of `images` into slot i for every i, images spread over the
// thread budget, one thread per tree (a batch has more images than the
// machine has cores); nodes[i] receives tree i's node count.
void buildTreesIntoSlots(const std::vector<AnyImage>& images, int connectivity, bool maxTree,
                         const TreeSlots& slots, int64_t* nodes);

}  // namespace vexa
