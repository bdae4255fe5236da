#pragma once
#include <ATen/core/Tensor.h>

#include "core/parent_array.hpp"

namespace vexa::tensors {

// Passes over a forest given as a parent array: parents is a one-dimensional
// int64 CPU tensor with parents[i] the parent of node i, or -1 for a node
// without parent. Ids may put parents before their children, after them, or
// neither. parents is read once, into memory the call owns; a parent array
// that is not a forest throws InvalidParents, other arguments of the wrong
// kind std::invalid_argument (its base).
//
// Results never record autograd history: differentiable versions are built
// on these in Python. None touches a Python object, so callers may release
// the interpreter lock around them.

// out[i] = values[i] + out[parents[i]]: the sum over i and its ancestors.
// values: (N) or (N, C), any floating dtype. This is J^T v for the ancestor
// matrix J (levels from residues).
at::Tensor ancestorSum(const at::Tensor& parents, const at::Tensor& values);

// out[i] = values[i] + the sum of out[c] over the children c of i: the sum
// over i's subtree. This is J v, the adjoint of ancestorSum.
at::Tensor subtreeSum(const at::Tensor& parents, const at::Tensor& values);

// For every node, the nearest node at or above it whose keep entry is true,
// or -1 when there is none: an int64 tensor (N). keep: bool (N).
at::Tensor nearestKept(const at::Tensor& parents, const at::Tensor& keep);

// The pass behind ancestorSum (towardsRoot false) and subtreeSum, on a
// forest already checked: values any floating dtype, (N) or (N, C) with N
// the forest's nodes. Returns a new tensor of the values' shape.
at::Tensor treeSum(Span<NodeId> parents, const ParentsFirst& order, const at::Tensor& values, bool towardsRoot);

}  // namespace vexa::tensors
