#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/span.hpp"
#include "core/trees/node_id.hpp"
#include "core/trees/parent_array.hpp"

// Single passes over a forest already checked (checkForest): parents and the
// order with parents first that the check gave. Values are rows of `width`
// entries, row i for node i, row-major. Each pass is linear in the number of
// nodes and polls for interrupts.
namespace vexa {

// b where take holds, else a, without a branch: comparisons of random
// values mispredict, and floating-point selects otherwise compile to jumps.
template <typename T>
T select(bool take, T b, T a) {
    if constexpr (std::is_floating_point_v<T> && (sizeof(T) == 4 || sizeof(T) == 8)) {
        using Bits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
        Bits x, y;
        std::memcpy(&x, &b, sizeof(T));
        std::memcpy(&y, &a, sizeof(T));
        const Bits mask = Bits(0) - Bits(take);
        const Bits z = (x & mask) | (y & ~mask);
        T out;
        std::memcpy(&out, &z, sizeof(T));
        return out;
    } else {
        return take ? b : a;
    }
}

// How two values combine. NaN wins in Min and Max, as in a sum.
struct SumOf {
    template <typename T>
    static T combine(T a, T b) {
        return a + b;
    }
    template <typename T>
    static T identity() {
        return T(0);
    }
};
struct MinOf {
    template <typename T>
    static T combine(T a, T b) {
        return select((b < a) | (b != b), b, a);
    }
    template <typename T>
    static T identity() {
        return std::numeric_limits<T>::has_infinity ? std::numeric_limits<T>::infinity()
                                                    : std::numeric_limits<T>::max();
    }
};
struct MaxOf {
    template <typename T>
    static T combine(T a, T b) {
        return select((b > a) | (b != b), b, a);
    }
    template <typename T>
    static T identity() {
        return std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                    : std::numeric_limits<T>::lowest();
    }
};

// Children first: each node's row is combined into its parent's, so that on
// return row i holds Op over i's subtree (with SumOf: J v for the ancestor
// matrix J).
template <typename Op, typename T>
void combineIntoParents(Span<NodeId> parents, const ParentsFirst& order, T* rows, size_t width) {
    InterruptPoll poll;
    if (width == 1) {
        order.forEachReversed([&](NodeId i) {
            const NodeId p = parents[i];
            if (p != kNoNode) rows[p] = Op::combine(rows[p], rows[i]);
            poll.step();
        });
        return;
    }
    const uint32_t workPerNode = uint32_t(width < (size_t(1) << 20) ? width : size_t(1) << 20);
    order.forEachReversed([&](NodeId i) {
        const NodeId p = parents[i];
        if (p == kNoNode) return;
        T* to = rows + size_t(p) * width;
        const T* from = rows + size_t(i) * width;
        for (size_t k = 0; k < width; ++k) to[k] = Op::combine(to[k], from[k]);
        poll.step(workPerNode);
    });
}

// Parents first: each parent's row is added to its children's, so that on
// return row i holds the sum over i and its ancestors (J^T v).
template <typename T>
void addFromParents(Span<NodeId> parents, const ParentsFirst& order, T* rows, size_t width) {
    InterruptPoll poll;
    const uint32_t workPerNode = uint32_t(width < (size_t(1) << 20) ? width : size_t(1) << 20);
    order.forEach([&](NodeId i) {
        const NodeId p = parents[i];
        if (p == kNoNode) return;
        T* to = rows + size_t(i) * width;
        const T* from = rows + size_t(p) * width;
        for (size_t k = 0; k < width; ++k) to[k] += from[k];
        poll.step(workPerNode);
    });
}

// Op over the children of each node: out (N x width) receives, for every
// node with children, Op of its children's rows of `values`; count (N) the
// number of children. Rows of nodes without children are Op's identity.
template <typename Op, typename T>
void combineChildren(Span<NodeId> parents, const T* values, size_t width, T* out, uint32_t* count) {
    const size_t n = parents.size();
    InterruptPoll poll;
    for (size_t i = 0; i < n * width; ++i) out[i] = Op::template identity<T>();
    for (size_t i = 0; i < n; ++i) count[i] = 0;
    if (width == 1) {
        for (size_t i = 0; i < n; ++i) {
            const NodeId p = parents[i];
            if (p == kNoNode) continue;
            ++count[p];
            out[p] = Op::combine(out[p], values[i]);
            poll.step();
        }
        return;
    }
    const uint32_t workPerNode = uint32_t(width < (size_t(1) << 20) ? width : size_t(1) << 20);
    for (size_t i = 0; i < n; ++i) {
        const NodeId p = parents[i];
        if (p == kNoNode) continue;
        ++count[p];
        T* to = out + size_t(p) * width;
        const T* from = values + i * width;
        for (size_t k = 0; k < width; ++k) to[k] = Op::combine(to[k], from[k]);
        poll.step(workPerNode);
    }
}

// Nodes in each subtree: out (N) receives 1 + the sizes of the children's
// subtrees.
void subtreeSizes(Span<NodeId> parents, const ParentsFirst& order, uint32_t* out);

// For every node, the nearest node at or above it whose keep entry is true,
// or -1 when there is none; with rootsKept every root counts as kept (so
// none is -1). out receives N ids.
void nearestKept(Span<NodeId> parents, const ParentsFirst& order, const bool* keep, bool rootsKept, int64_t* out);

// The nodes without children, ascending.
std::vector<NodeId> leavesOf(Span<NodeId> parents);

// A tree with only the kept nodes (roots always among them), numbered by
// their rank among kept nodes in id order, in two steps that read keep once.
// First nodeMap (N) receives the new id of every kept node, -1 for the
// others; returns how many are kept.
size_t rankKept(Span<NodeId> parents, const bool* keep, int64_t* nodeMap);
// Then newParents (that many entries) receives each kept node's nearest kept
// proper ancestor (new id, -1 for a root), and nodeMap the new id of every
// node's nearest kept node at or above it.
void simplifyRanked(Span<NodeId> parents, const ParentsFirst& order, int64_t* newParents, int64_t* nodeMap);

}  // namespace vexa
