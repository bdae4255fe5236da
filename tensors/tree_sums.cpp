#include "tensors/tree_sums.hpp"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/trees/parent_array.hpp"
#include "core/trees/tree_passes.hpp"
#include "tensors/describe.hpp"

namespace vexa::tensors {

namespace {

// The forest of a parent tensor, read once and checked.
struct Forest {
    std::vector<NodeId> parent;
    ParentsFirst order;
};

Forest forestOf(const at::Tensor& parents) {
    if (!parents.defined() || parents.dim() != 1 || parents.scalar_type() != at::kLong || !parents.device().is_cpu())
        throw InvalidParents("parents must be a one-dimensional int64 CPU tensor, got " + describe(parents) + ".");
    const at::Tensor dense = parents.contiguous();
    std::vector<NodeId> parent = nodeIdsOf(dense.data_ptr<int64_t>(), size_t(dense.size(0)));
    ParentsFirst order = checkForest(parent);
    return {std::move(parent), std::move(order)};
}

// values: floating, (N) or (N, C).
void checkValues(const at::Tensor& values, int64_t n) {
    if (!values.defined() || !at::isFloatingType(values.scalar_type()) || !values.device().is_cpu())
        throw std::invalid_argument("values must be a floating-point CPU tensor, got " + describe(values) + ".");
    if ((values.dim() != 1 && values.dim() != 2) || values.size(0) != n)
        throw std::invalid_argument("values must have shape (N) or (N, C) with N = " + std::to_string(n) +
                                    " nodes, got " + describe(values) + ".");
}

// Check, then the pass.
at::Tensor accumulate(const at::Tensor& parents, const at::Tensor& values, bool towardsRoot) {
    const Forest f = forestOf(parents);
    checkValues(values, int64_t(f.parent.size()));
    return treeSum(f.parent, f.order, values, towardsRoot);
}

}  // namespace

at::Tensor treeSum(Span<NodeId> parents, const ParentsFirst& order, const at::Tensor& values, bool towardsRoot) {
    const int64_t n = int64_t(parents.size());
    const int64_t width = values.dim() == 2 ? values.size(1) : 1;
    at::Tensor out = values.detach().reshape({n, width}).clone(at::MemoryFormat::Contiguous);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, out.scalar_type(), "treeSum", [&] {
        scalar_t* rows = out.data_ptr<scalar_t>();
        if (towardsRoot) combineIntoParents<SumOf>(parents, order, rows, size_t(width));
        else addFromParents(parents, order, rows, size_t(width));
    });
    return out.view(values.sizes());
}

at::Tensor ancestorSum(const at::Tensor& parents, const at::Tensor& values) {
    return accumulate(parents, values, false);
}

at::Tensor subtreeSum(const at::Tensor& parents, const at::Tensor& values) { return accumulate(parents, values, true); }

at::Tensor nearestKept(const at::Tensor& parents, const at::Tensor& keep) {
    const Forest f = forestOf(parents);
    const int64_t n = int64_t(f.parent.size());
    if (!keep.defined() || keep.scalar_type() != at::kBool || keep.dim() != 1 || keep.size(0) != n ||
        !keep.device().is_cpu())
        throw std::invalid_argument("keep must be a bool CPU tensor of shape (" + std::to_string(n) + "), got " +
                                    describe(keep) + ".");
    const at::Tensor kept = keep.contiguous();
    const bool* isKept = kept.data_ptr<bool>();
    at::Tensor out = at::empty({n}, at::kLong);
    vexa::nearestKept(f.parent, f.order, isKept, false, out.data_ptr<int64_t>());
    return out;
}

}  // namespace vexa::tensors
