#include "tensors/tree_sums.hpp"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include <stdexcept>
#include <vector>

namespace vexa::tensors {

namespace {

// Node ids with every parent before its children: ascending or descending
// ids when the links allow it (no list needed), else an explicit list.
struct ParentsFirst {
    enum Kind { Ascending, Descending, Listed } kind;
    std::vector<int64_t> listed;
    int64_t n;

    template <typename Visit>
    void forEach(Visit&& visit) const {
        if (kind == Ascending) for (int64_t i = 0; i < n; ++i) visit(i);
        else if (kind == Descending) for (int64_t i = n; i-- > 0;) visit(i);
        else for (int64_t i : listed) visit(i);
    }
    template <typename Visit>
    void forEachReversed(Visit&& visit) const {
        if (kind == Ascending) for (int64_t i = n; i-- > 0;) visit(i);
        else if (kind == Descending) for (int64_t i = 0; i < n; ++i) visit(i);
        else for (auto it = listed.rbegin(); it != listed.rend(); ++it) visit(*it);
    }
};

ParentsFirst parentsFirstOrder(const int64_t* parent, int64_t n) {
    bool ascending = true, descending = true;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t p = parent[i];
        if (p < -1 || p >= n) throw std::runtime_error("parents holds an id outside -1..N-1.");
        if (p >= 0) {
            ascending = ascending && p < i;
            descending = descending && p > i;
        }
    }
    if (ascending) return {ParentsFirst::Ascending, {}, n};
    if (descending) return {ParentsFirst::Descending, {}, n};
    std::vector<int64_t> order(n);
    // Any other forest: breadth first from the parentless nodes. A node that
    // is never reached lies on a cycle or hangs below one.
    std::vector<int64_t> offsets(n + 1, 0), children(n);
    for (int64_t i = 0; i < n; ++i)
        if (parent[i] >= 0) ++offsets[parent[i] + 1];
    for (int64_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    std::vector<int64_t> cursor(offsets.begin(), offsets.end() - 1);
    for (int64_t i = 0; i < n; ++i)
        if (parent[i] >= 0) children[cursor[parent[i]]++] = i;
    int64_t filled = 0;
    for (int64_t i = 0; i < n; ++i)
        if (parent[i] < 0) order[filled++] = i;
    for (int64_t read = 0; read < filled; ++read)
        for (int64_t k = offsets[order[read]]; k < offsets[order[read] + 1]; ++k) order[filled++] = children[k];
    if (filled != n) throw std::runtime_error("parents forms a cycle.");
    return {ParentsFirst::Listed, std::move(order), n};
}

struct Checked {
    at::Tensor parents;  // contiguous int64
    at::Tensor values;   // contiguous copy, two-dimensional (N, C)
    ParentsFirst order;
};

Checked check(const at::Tensor& parents, const at::Tensor& values) {
    if (!parents.defined() || parents.dim() != 1 || parents.scalar_type() != at::kLong)
        throw std::runtime_error("parents must be a one-dimensional int64 tensor.");
    if (!values.defined() || !at::isFloatingType(values.scalar_type()))
        throw std::runtime_error("values must be a floating-point tensor.");
    const int64_t n = parents.size(0);
    if ((values.dim() != 1 && values.dim() != 2) || values.size(0) != n)
        throw std::runtime_error("values must have shape (N) or (N, C), N being the length of parents.");
    if (!parents.device().is_cpu() || !values.device().is_cpu())
        throw std::runtime_error("parents and values must be CPU tensors.");
    at::Tensor dense = parents.contiguous();
    ParentsFirst order = parentsFirstOrder(dense.data_ptr<int64_t>(), n);
    const int64_t width = values.dim() == 2 ? values.size(1) : 1;
    return {dense, values.reshape({n, width}).clone(at::MemoryFormat::Contiguous), std::move(order)};
}

}  // namespace

at::Tensor ancestorSum(const at::Tensor& parents, const at::Tensor& values) {
    Checked c = check(parents, values);
    const int64_t* parent = c.parents.data_ptr<int64_t>();
    const int64_t width = c.values.size(1);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, c.values.scalar_type(), "ancestorSum", [&] {
        scalar_t* out = c.values.data_ptr<scalar_t>();
        c.order.forEach([&](int64_t i) {
            if (parent[i] < 0) return;
            scalar_t* row = out + i * width;
            const scalar_t* above = out + parent[i] * width;
            for (int64_t k = 0; k < width; ++k) row[k] += above[k];
        });
    });
    return c.values.view(values.sizes());
}

at::Tensor subtreeSum(const at::Tensor& parents, const at::Tensor& values) {
    Checked c = check(parents, values);
    const int64_t* parent = c.parents.data_ptr<int64_t>();
    const int64_t width = c.values.size(1);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, c.values.scalar_type(), "subtreeSum", [&] {
        scalar_t* out = c.values.data_ptr<scalar_t>();
        c.order.forEachReversed([&](int64_t i) {
            if (parent[i] < 0) return;
            scalar_t* above = out + parent[i] * width;
            const scalar_t* row = out + i * width;
            for (int64_t k = 0; k < width; ++k) above[k] += row[k];
        });
    });
    return c.values.view(values.sizes());
}

}  // namespace vexa::tensors
