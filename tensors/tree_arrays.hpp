#pragma once
#include <ATen/core/Tensor.h>

#include "core/morphological_tree.hpp"

namespace vexa::tensors {

// Parent id of every node as an int64 tensor of length N, -1 for a node
// without parent (current links, as Python may have rewritten them).
at::Tensor parentIds(const MorphologicalTree& tree);

// Node id of every pixel as an int64 tensor of the image's shape.
at::Tensor pixelNodeIds(const MorphologicalTree& tree);

}  // namespace vexa::tensors
