#include "tensors/checked_tree.hpp"

#include <ATen/ATen.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <vector>

#include "core/trees/tree_passes.hpp"
#include "tensors/describe.hpp"
#include "tensors/tree_sums.hpp"

namespace vexa::tensors {

namespace {

std::string number(double x) {
    std::ostringstream text;
    text << x;
    return text.str();
}

std::string rowsOf(const CheckedTree& tree) { return std::to_string(tree.size()); }

// Kind first (TypeError), then the number of rows (ValueError).
void checkNodeTensor(const CheckedTree& tree, const at::Tensor& t, const std::string& name, bool columnsAllowed) {
    if (!t.defined()) throw WrongTensorKind(name + " must be a tensor, got " + describe(t) + ".");
    if (!t.device().is_cpu()) throw WrongTensorKind(name + " must be a CPU tensor, got " + describe(t) + ".");
    if (t.dim() != 1 && !(columnsAllowed && t.dim() == 2))
        throw WrongTensorKind(name + (columnsAllowed ? " must have shape (N) or (N, C)" : " must have shape (N)") +
                              ", got " + describe(t) + ".");
    if (t.size(0) != int64_t(tree.size()))
        throw std::invalid_argument(name + " must have " + rowsOf(tree) + " rows, one per node, got " + describe(t) +
                                    ".");
}

template <typename T>
at::Tensor idsTensor(const std::vector<T>& ids) {
    at::Tensor out = at::empty({int64_t(ids.size())}, at::kLong);
    int64_t* to = out.data_ptr<int64_t>();
    for (size_t i = 0; i < ids.size(); ++i) to[i] = int64_t(ids[i]);
    return out;
}

// The scalar types the reduction passes run on.
template <typename F>
void onWorkType(at::ScalarType type, F&& f) {
    switch (type) {
        case at::kFloat:
            f(float{});
            break;
        case at::kDouble:
            f(double{});
            break;
        case at::kLong:
            f(int64_t{});
            break;
        case at::kInt:
            f(int32_t{});
            break;
        case at::kByte:
            f(uint8_t{});
            break;
        default:
            throw std::logic_error("no reduction pass for " + dtypeName(type));
    }
}

template <typename F>
void onOp(ReduceOp op, F&& f) {
    switch (op) {
        case ReduceOp::Sum:
        case ReduceOp::Mean:
            f(SumOf{});
            break;
        case ReduceOp::Min:
            f(MinOf{});
            break;
        case ReduceOp::Max:
            f(MaxOf{});
            break;
    }
}

bool integral(at::ScalarType type) { return !at::isFloatingType(type); }

// The dtype the passes run in and return (bool min / max run on its bytes).
at::ScalarType workType(ReduceOp op, at::ScalarType type) {
    if (op == ReduceOp::Mean) return integral(type) ? at::kDouble : type;
    if (op == ReduceOp::Sum) return integral(type) ? at::kLong : type;
    return type == at::kBool ? at::kByte : type;
}

template <typename T>
bool holds(double fill) {
    if (!std::numeric_limits<T>::is_integer) return true;
    return std::isfinite(fill) && fill == std::floor(fill) && fill >= double(std::numeric_limits<T>::lowest()) &&
           fill <= double(std::numeric_limits<T>::max());
}

}  // namespace

at::Tensor checkedParents(const at::Tensor& parents) {
    if (!parents.defined() || parents.dim() != 1 || parents.scalar_type() != at::kLong || !parents.device().is_cpu())
        throw WrongTensorKind("parents must be a one-dimensional int64 CPU tensor, got " + describe(parents) + ".");
    return parents.contiguous();
}

CheckedTree treeOf(const at::Tensor& checkedParents) {
    return CheckedTree(checkedParents.data_ptr<int64_t>(), size_t(checkedParents.size(0)));
}

at::Tensor parentsOf(const CheckedTree& tree) {
    at::Tensor out = at::empty({int64_t(tree.size())}, at::kLong);
    int64_t* to = out.data_ptr<int64_t>();
    const Span<NodeId> parents = tree.parents();
    for (size_t i = 0; i < parents.size(); ++i) to[i] = parents[i] == kNoNode ? -1 : int64_t(parents[i]);
    return out;
}

std::pair<at::Tensor, at::Tensor> childrenOf(const CheckedTree& tree) {
    const ChildLists lists = childLists(tree.parents());
    return {idsTensor(lists.offsets), idsTensor(lists.ids)};
}

at::Tensor depthsOf(const CheckedTree& tree) { return idsTensor(depths(tree.parents(), tree.order())); }

at::Tensor leavesOf(const CheckedTree& tree) { return idsTensor(vexa::leavesOf(tree.parents())); }

Reduction checkedReduction(const CheckedTree& tree, const at::Tensor& values, const std::string& op,
                           const std::string& over, double fill) {
    Reduction r{ReduceOp::Sum, ReduceOver::Subtree, at::Tensor(), fill};
    if (op == "sum") r.op = ReduceOp::Sum;
    else if (op == "min") r.op = ReduceOp::Min;
    else if (op == "max") r.op = ReduceOp::Max;
    else if (op == "mean") r.op = ReduceOp::Mean;
    else throw std::invalid_argument("op must be one of sum, min, max, mean, got '" + op + "'.");
    if (over == "subtree") r.over = ReduceOver::Subtree;
    else if (over == "children") r.over = ReduceOver::Children;
    else throw std::invalid_argument("over must be one of subtree, children, got '" + over + "'.");
    if (values.defined()) {
        const at::ScalarType t = values.scalar_type();
        if (t != at::kFloat && t != at::kDouble && t != at::kLong && t != at::kInt && t != at::kByte && t != at::kBool)
            throw WrongTensorKind("values must be float32, float64, int64, int32, uint8 or bool, got " +
                                  describe(values) + ".");
    }
    checkNodeTensor(tree, values, "values", true);
    if (r.over == ReduceOver::Children) {
        const at::ScalarType work = workType(r.op, values.scalar_type());
        const bool bools = values.scalar_type() == at::kBool && work == at::kByte;
        bool representable = true;
        onWorkType(work, [&](auto zero) { representable = holds<decltype(zero)>(fill); });
        if (!representable || (bools && fill != 0 && fill != 1))
            throw std::invalid_argument("fill must be a value of the result's dtype, " +
                                        dtypeName(bools ? at::kBool : work) + ", got " + number(fill) + ".");
    }
    r.values = values.detach().contiguous();
    return r;
}

at::Tensor reduce(const CheckedTree& tree, const Reduction& r) {
    const at::ScalarType type = r.values.scalar_type();
    const at::ScalarType work = workType(r.op, type);
    const int64_t n = int64_t(tree.size());
    const int64_t width = r.values.dim() == 2 ? r.values.size(1) : 1;
    const at::Tensor in = type == at::kBool && work == at::kByte ? r.values.view(at::kByte) : r.values.to(work);
    const bool mean = r.op == ReduceOp::Mean;
    at::Tensor out;
    if (r.over == ReduceOver::Subtree) {
        out = in.is_same(r.values) || type == at::kBool ? in.clone(at::MemoryFormat::Contiguous) : in;
        std::vector<uint32_t> sizes(mean ? tree.size() : 0);
        if (mean) subtreeSizes(tree.parents(), tree.order(), sizes.data());
        onWorkType(work, [&](auto zero) {
            using T = decltype(zero);
            T* rows = out.data_ptr<T>();
            onOp(r.op,
                 [&](auto op) { combineIntoParents<decltype(op)>(tree.parents(), tree.order(), rows, size_t(width)); });
            if (mean)
                for (int64_t i = 0; i < n; ++i)
                    for (int64_t k = 0; k < width; ++k) rows[i * width + k] /= T(sizes[i]);
        });
    } else {
        out = at::empty(in.sizes(), in.options());
        std::vector<uint32_t> count(tree.size());
        onWorkType(work, [&](auto zero) {
            using T = decltype(zero);
            T* rows = out.data_ptr<T>();
            onOp(r.op, [&](auto op) {
                combineChildren<decltype(op)>(tree.parents(), in.data_ptr<T>(), size_t(width), rows, count.data());
            });
            const T fill = T(r.fill);
            if (width == 1) {
                for (int64_t i = 0; i < n; ++i) rows[i] = count[i] == 0 ? fill : mean ? rows[i] / T(count[i]) : rows[i];
                return;
            }
            for (int64_t i = 0; i < n; ++i) {
                T* row = rows + i * width;
                if (count[i] == 0)
                    for (int64_t k = 0; k < width; ++k) row[k] = fill;
                else if (mean)
                    for (int64_t k = 0; k < width; ++k) row[k] /= T(count[i]);
            }
        });
    }
    return type == at::kBool && work == at::kByte ? out.view(at::kBool) : out;
}

at::Tensor checkedSumValues(const CheckedTree& tree, const at::Tensor& values) {
    if (values.defined() && !at::isFloatingType(values.scalar_type()))
        throw WrongTensorKind("values must be a floating-point tensor, got " + describe(values) + ".");
    checkNodeTensor(tree, values, "values", true);
    return values;
}

at::Tensor ancestorSum(const CheckedTree& tree, const at::Tensor& checkedValues) {
    return treeSum(tree.parents(), tree.order(), checkedValues, false);
}

at::Tensor subtreeSum(const CheckedTree& tree, const at::Tensor& checkedValues) {
    return treeSum(tree.parents(), tree.order(), checkedValues, true);
}

at::Tensor checkedKeep(const CheckedTree& tree, const at::Tensor& keep) {
    if (keep.defined() && keep.scalar_type() != at::kBool)
        throw WrongTensorKind("keep must be a bool tensor, got " + describe(keep) + ".");
    checkNodeTensor(tree, keep, "keep", false);
    return keep.contiguous();
}

at::Tensor nearestKept(const CheckedTree& tree, const at::Tensor& checkedKeep) {
    at::Tensor out = at::empty({int64_t(tree.size())}, at::kLong);
    vexa::nearestKept(tree.parents(), tree.order(), checkedKeep.data_ptr<bool>(), true, out.data_ptr<int64_t>());
    return out;
}

std::pair<at::Tensor, at::Tensor> simplify(const CheckedTree& tree, const at::Tensor& checkedKeep) {
    at::Tensor nodeMap = at::empty({int64_t(tree.size())}, at::kLong);
    const size_t kept = rankKept(tree.parents(), checkedKeep.data_ptr<bool>(), nodeMap.data_ptr<int64_t>());
    at::Tensor parents = at::empty({int64_t(kept)}, at::kLong);
    simplifyRanked(tree.parents(), tree.order(), parents.data_ptr<int64_t>(), nodeMap.data_ptr<int64_t>());
    return {parents, nodeMap};
}

}  // namespace vexa::tensors
