#pragma once
#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <string_view>

#include "core/trees/morphological_tree.hpp"

// Per-node tensors of a component tree, indexed by node id like the rows and
// columns of its Jacobian. Nothing is cached: every call makes a new tensor.
namespace vexa::tensors {

// The grey level of every node: uint8, length N, on the CPU.
at::Tensor levels(const MorphologicalTree& tree);

// The residue of every node as built (its level minus its parent's level, the
// level itself for a root), an (N, 1) column of the given dtype on the named
// device. The device is checked before anything else is read.
at::Tensor residues(const MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype);

}  // namespace vexa::tensors
