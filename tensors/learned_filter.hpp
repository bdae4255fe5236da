#pragma once
#include <ATen/core/Tensor.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

// The learnable subtractive filter of a batch of component trees, forward and
// backward, one tree per thread. Per tree, with L the level of each node (the
// mean of its compact pixels' values):
//   features  z_j = each chosen attribute (log1p of its magnitude for sizes),
//                   standardised over the tree's nodes;
//   score     s = sigmoid(bias + sum_j weight_j z_j), 1 at the root;
//   output    each pixel gets the sum, over its node and the node's
//             ancestors, of s * (L - L of the parent) (the root: s * L).
// The backward is the exact first derivative of that in the pixels, the
// weights and the bias; second derivatives are left to the differentiable
// torch operators the vexa package composes the same filter from.
namespace vexa::tensors {

// One tree of the batch: its nodes' parents (int64 (N), -1 at the root,
// node 0, every parent listed before its children) and each pixel's
// smallest node (int64 (H, W)).
struct FilterTree {
    at::Tensor parents;
    at::Tensor pixelToNode;
};

class LearnedFilterBatch {
public:
    // attributes: names among area, volume, height, box_height, box_width,
    // extent (two columns), diameter, mean_level, rectangularity. Errors
    // throw std::invalid_argument naming what is wrong; forward reads each
    // tree once, into memory it owns, and checks it.
    LearnedFilterBatch(const std::vector<FilterTree>& trees, const std::vector<std::string>& attributes, bool maxTree);
    ~LearnedFilterBatch();

    // images: (K, P) floating, one row per tree; weight: (F) with F the
    // number of feature columns; bias: a scalar. Returns the filtered
    // images, (K, P) of the images' dtype, and keeps what backward needs.
    // Runs once per batch.
    at::Tensor forward(const at::Tensor& images, const at::Tensor& weight, const at::Tensor& bias);

    // The gradients of images, weight and bias from that of the output.
    std::tuple<at::Tensor, at::Tensor, at::Tensor> backward(const at::Tensor& gradOutput) const;

    int64_t numFeatures() const;

    struct Tree;

private:
    std::vector<FilterTree> given_;
    std::vector<std::unique_ptr<Tree>> trees_;  // read by forward
    std::vector<int> columns_;                  // one attribute code per feature column
    double sign_;
    std::vector<double> weight_;  // as forward read it
    at::ScalarType imageType_ = at::kFloat, weightType_ = at::kFloat;
    bool ran_ = false;
};

}  // namespace vexa::tensors
