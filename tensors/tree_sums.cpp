#include "tensors/tree_sums.hpp"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/trees/parent_array.hpp"
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

// values as a fresh (N, C) contiguous copy without autograd history: the
// passes write it in place.
at::Tensor workingCopy(const at::Tensor& values, int64_t n) {
    if (!values.defined() || !at::isFloatingType(values.scalar_type()) || !values.device().is_cpu())
        throw std::invalid_argument("values must be a floating-point CPU tensor, got " + describe(values) + ".");
    if ((values.dim() != 1 && values.dim() != 2) || values.size(0) != n)
        throw std::invalid_argument("values must have shape (N) or (N, C) with N = " + std::to_string(n) +
                                    " nodes, got " + describe(values) + ".");
    const int64_t width = values.dim() == 2 ? values.size(1) : 1;
    return values.detach().reshape({n, width}).clone(at::MemoryFormat::Contiguous);
}

// Adds each node's row to its parent's (towards the root, children first)
// or each parent's row to its children's (away from it, parents first).
at::Tensor accumulate(const at::Tensor& parents, const at::Tensor& values, bool towardsRoot) {
    const Forest f = forestOf(parents);
    at::Tensor out = workingCopy(values, int64_t(f.parent.size()));
    const int64_t width = out.size(1);
    const uint32_t workPerNode = uint32_t(std::min<int64_t>(width, int64_t(1) << 20));
    InterruptPoll poll;
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, out.scalar_type(), "treeSum", [&] {
        scalar_t* rows = out.data_ptr<scalar_t>();
        auto step = [&](NodeId i) {
            const NodeId p = f.parent[i];
            if (p == kNoNode) return;
            scalar_t* to = rows + (towardsRoot ? p : i) * width;
            const scalar_t* from = rows + (towardsRoot ? i : p) * width;
            for (int64_t k = 0; k < width; ++k) to[k] += from[k];
            poll.step(workPerNode);
        };
        if (towardsRoot) f.order.forEachReversed(step);
        else f.order.forEach(step);
    });
    return out.view(values.sizes());
}

}  // namespace

at::Tensor ancestorSum(const at::Tensor& parents, const at::Tensor& values) {
    return accumulate(parents, values, false);
}

at::Tensor subtreeSum(const at::Tensor& parents, const at::Tensor& values) {
    return accumulate(parents, values, true);
}

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
    int64_t* target = out.data_ptr<int64_t>();
    InterruptPoll poll;
    f.order.forEach([&](NodeId i) {
        const NodeId p = f.parent[i];
        target[i] = isKept[i] ? int64_t(i) : p == kNoNode ? -1 : target[p];
        poll.step();
    });
    return out;
}

}  // namespace vexa::tensors
