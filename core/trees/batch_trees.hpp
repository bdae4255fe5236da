#pragma once
#include <cstdint>
#include <vector>

#include "core/runtime/reused_memory.hpp"
#include "core/trees/any_tree.hpp"

// The component trees of a batch of images, one thread per tree.
namespace vexa {

// A tree's arrays with int64 ids, as tensor indexing takes them: the parent
// of each node (-1 for the root, node 0; parents before children) and the
// smallest node of each pixel. Their memory is reused from step to step.
struct WideTree {
    ReusedVector<int64_t> parents;
    ReusedVector<int64_t> pixelNode;
};

// The tree of every image, images spread over the thread budget, one thread
// per tree (a batch has more images than the machine has cores): each
// thread widens its tree's ids as soon as it is built and frees the narrow
// arrays before building the next.
std::vector<WideTree> buildWideTrees(const std::vector<AnyImage>& images, int ndim, int connectivity, bool maxTree);

}  // namespace vexa
