#pragma once
#include <ATen/core/Tensor.h>

namespace vexa::tensors {

// Sums of per-node values along a forest given as a parent array: parents is
// a one-dimensional int64 tensor with parents[i] the parent of node i, or -1
// for a node without parent. values has shape (N) or (N, C), any floating
// dtype. Parents may come before or after their children in id order (or
// neither); links that form a cycle are refused.

// out[i] = values[i] + out[parents[i]]: the sum over i and its ancestors.
// This is J^T v for the ancestor matrix J (levels from residues).
at::Tensor ancestorSum(const at::Tensor& parents, const at::Tensor& values);

// out[i] = values[i] + the sum of out[c] over the children c of i: the sum
// over i's subtree. This is J v, the adjoint of ancestorSum.
at::Tensor subtreeSum(const at::Tensor& parents, const at::Tensor& values);

}  // namespace vexa::tensors
