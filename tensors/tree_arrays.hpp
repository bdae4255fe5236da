#pragma once
#include <ATen/core/Tensor.h>

#include "core/trees/morphological_tree.hpp"

namespace vexa::tensors {

// Parent id of every node as an int64 tensor of length N, -1 for a node
// without parent (current links, as Python may have rewritten them).
at::Tensor parentIds(const MorphologicalTree& tree);

// Node id of every pixel as an int64 tensor of the image's shape.
at::Tensor pixelNodeIds(const MorphologicalTree& tree);

}  // namespace vexa::tensors

namespace vexa {
class BinaryPartitionTree;
}

namespace vexa::tensors {

// Position in the tree's node list of every node's parent, -1 for the root:
// an int64 tensor in node-list order (children before parents).
at::Tensor parentIndices(const BinaryPartitionTree& tree);

// Position in the node list of the leaf holding each pixel, as an int64
// tensor of the image's shape.
at::Tensor pixelLeafIndices(const BinaryPartitionTree& tree);

}  // namespace vexa::tensors
