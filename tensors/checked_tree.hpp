#pragma once
#include <ATen/core/Tensor.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "core/trees/checked_tree.hpp"

// Tensors in and out of a CheckedTree. Every argument is checked by a
// function of its own before any pass runs, so that the caller can check
// with its locks held and run the pass without them; the passes touch no
// Python object and never look at a checked argument's buffer again once
// they have read it. Ids are int64 tensors.
namespace vexa::tensors {

// A tensor of the wrong dtype, number of dimensions or device (TypeError in
// Python); a tensor of the right kind with wrong values or length throws
// std::invalid_argument.
struct WrongTensorKind : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// parents: one-dimensional int64 CPU tensor, contiguous on return.
at::Tensor checkedParents(const at::Tensor& parents);
// The tree of checked parents (InvalidParents unless they form one).
CheckedTree treeOf(const at::Tensor& checkedParents);

at::Tensor parentsOf(const CheckedTree& tree);                          // -1 for the root
std::pair<at::Tensor, at::Tensor> childrenOf(const CheckedTree& tree);  // CSR: offsets (N + 1), ids
at::Tensor depthsOf(const CheckedTree& tree);                           // root 0
at::Tensor leavesOf(const CheckedTree& tree);                           // ascending ids

// reduce: op over each node's subtree (the node and its descendants) or
// over its children only (fill for a node without children).
enum class ReduceOp { Sum, Min, Max, Mean };
enum class ReduceOver { Subtree, Children };
struct Reduction {
    ReduceOp op;
    ReduceOver over;
    at::Tensor values;  // (N) or (N, C), contiguous
    double fill;
};
// values: float32, float64, int64, int32, uint8 or bool, (N) or (N, C).
// The result has the values' dtype, except: the sum of bool, uint8 or
// int32 values is int64 (as torch.sum gives) and the mean of integers or
// bools is float64. fill must be representable in the result's dtype.
Reduction checkedReduction(const CheckedTree& tree, const at::Tensor& values, const std::string& op,
                           const std::string& over, double fill);
at::Tensor reduce(const CheckedTree& tree, const Reduction& reduction);

// Floating values (N) or (N, C) for the tree sums.
at::Tensor checkedSumValues(const CheckedTree& tree, const at::Tensor& values);
at::Tensor ancestorSum(const CheckedTree& tree, const at::Tensor& checkedValues);
at::Tensor subtreeSum(const CheckedTree& tree, const at::Tensor& checkedValues);

// keep: bool (N), contiguous on return.
at::Tensor checkedKeep(const CheckedTree& tree, const at::Tensor& keep);
// The nearest node at or above each node whose keep is true, the root
// counting as kept: int64 (N), never -1.
at::Tensor nearestKept(const CheckedTree& tree, const at::Tensor& checkedKeep);
// The tree of the kept nodes and the root, numbered by rank in id order:
// (its parents, the new id of every node's nearest kept node).
std::pair<at::Tensor, at::Tensor> simplify(const CheckedTree& tree, const at::Tensor& checkedKeep);

}  // namespace vexa::tensors
