// The batch driver of the learned filter: arguments checked, one tree per
// thread through the passes of learned_filter_*.cpp, the weight and bias
// gradients summed over the trees.
#include "tensors/learned_filter.hpp"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/runtime/parallel.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/runtime/threads.hpp"
#include "tensors/conversion.hpp"
#include "tensors/describe.hpp"
#include "tensors/learned_filter_internal.hpp"

namespace vexa::tensors {

using namespace filter;

namespace {

// Reads a floating tensor's elements as doubles, whatever its dtype.
std::vector<double> doublesOf(const at::Tensor& t) {
    const at::Tensor d = t.detach().to(at::kDouble).contiguous();
    return std::vector<double>(d.data_ptr<double>(), d.data_ptr<double>() + d.numel());
}

void checkImages(const at::Tensor& images, const std::vector<FilterTree>& trees, const char* name) {
    if (!images.defined() || !at::isFloatingType(images.scalar_type()) || images.dim() != 2 ||
        images.size(0) != int64_t(trees.size()) || !images.device().is_cpu())
        throw std::invalid_argument(std::string(name) + " must be a floating-point CPU tensor (K, P) with K = " +
                                    std::to_string(trees.size()) + " trees, got " + describe(images));
    for (size_t k = 0; k < trees.size(); ++k)
        if (images.size(1) != trees[k].pixelToNode.numel())
            throw std::invalid_argument(std::string(name) + " has " + std::to_string(images.size(1)) +
                                        " pixels per row, but trees[" + std::to_string(k) + "] has " +
                                        std::to_string(trees[k].pixelToNode.numel()));
}

}  // namespace

LearnedFilterBatch::LearnedFilterBatch(const std::vector<FilterTree>& trees, const std::vector<std::string>& attributes,
                                       bool maxTree)
    : columns_(columnsOf(attributes)), sign_(maxTree ? 1.0 : -1.0) {
    if (trees.empty()) throw std::invalid_argument("trees is empty");
    for (size_t k = 0; k < trees.size(); ++k) checkTypes(trees[k], k);
    given_ = trees;
}

LearnedFilterBatch::~LearnedFilterBatch() = default;

int64_t LearnedFilterBatch::numFeatures() const { return int64_t(columns_.size()); }

at::Tensor LearnedFilterBatch::forward(const at::Tensor& images, const at::Tensor& weight, const at::Tensor& bias) {
    if (ran_) throw std::logic_error("forward runs once per batch of trees");
    checkImages(images, given_, "images");
    if (!weight.defined() || !at::isFloatingType(weight.scalar_type()) || weight.dim() != 1 ||
        weight.size(0) != numFeatures() || !weight.device().is_cpu())
        throw std::invalid_argument("weight must be a floating-point CPU tensor of shape (" +
                                    std::to_string(numFeatures()) + "), got " + describe(weight));
    if (!bias.defined() || !at::isFloatingType(bias.scalar_type()) || bias.numel() != 1 || !bias.device().is_cpu())
        throw std::invalid_argument("bias must be a floating-point CPU scalar, got " + describe(bias));
    const std::vector<double> w = doublesOf(weight);
    const double b = doublesOf(bias)[0];
    const at::Tensor input = images.detach().contiguous();
    at::Tensor out = emptyReused(input.sizes(), input.scalar_type());
    const int64_t row = input.size(1);
    trees_.resize(given_.size());
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, input.scalar_type(), "learnedFilter", [&] {
        const scalar_t* from = input.data_ptr<scalar_t>();
        scalar_t* to = out.data_ptr<scalar_t>();
        parallelFor(trees_.size(), threadBudget(), [&](size_t k) {
            trees_[k] = readTree(given_[k], k, from + k * row);
            forwardTree(*trees_[k], columns_, sign_, to + k * row, w, b);
        });
    });
    imageType_ = input.scalar_type();
    weightType_ = weight.scalar_type();
    weight_ = w;
    ran_ = true;
    return out;
}

std::tuple<at::Tensor, at::Tensor, at::Tensor> LearnedFilterBatch::backward(const at::Tensor& gradOutput) const {
    if (!ran_) throw std::logic_error("backward needs a completed forward");
    checkImages(gradOutput, given_, "grad_output");
    // Read in place whatever its strides: the gradient of a sum or a mean is
    // one value expanded to the output's shape, not worth writing out.
    const at::Tensor grad = gradOutput.detach().to(imageType_);
    at::Tensor gradImages = emptyReused(grad.sizes(), grad.scalar_type());
    const size_t width = columns_.size(), count = trees_.size();
    std::vector<double> perTree(count * (width + 1));  // weight then bias gradients of each tree
    const int64_t row = grad.size(1), rowStep = grad.stride(0), step = grad.stride(1);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, grad.scalar_type(), "learnedFilterBackward", [&] {
        const scalar_t* from = grad.data_ptr<scalar_t>();
        scalar_t* to = gradImages.data_ptr<scalar_t>();
        parallelFor(count, threadBudget(), [&](size_t k) {
            double* sums = perTree.data() + k * (width + 1);
            backwardTree(*trees_[k], columns_, sign_, from + int64_t(k) * rowStep, step, to + k * row, weight_, sums,
                         sums + width);
        });
    });
    at::Tensor gradWeight = at::zeros({int64_t(width)}, at::kDouble), gradBias = at::zeros({}, at::kDouble);
    double* gw = gradWeight.data_ptr<double>();
    for (size_t k = 0; k < count; ++k) {  // in tree order: the same sums on every run
        for (size_t j = 0; j < width; ++j) gw[j] += perTree[k * (width + 1) + j];
        gradBias.data_ptr<double>()[0] += perTree[k * (width + 1) + width];
    }
    return {gradImages, gradWeight.to(weightType_), gradBias.to(weightType_)};
}

}  // namespace vexa::tensors
