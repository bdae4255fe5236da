#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/runtime/span.hpp"
#include "core/trees/node_id.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

// A tree given as a parent array, read once into memory of its own and
// checked once (one root, ids in range, no cycle), with the order that puts
// parents first. Passes over it (core/tree_passes.hpp) need no further check.
class CheckedTree {
public:
    // parents[i] is the parent of node i, -1 for the root. Throws
    // InvalidParents naming the offending node, or for an empty array.
    CheckedTree(const int64_t* parents, size_t n);

    size_t size() const { return parents_.size(); }
    NodeId root() const { return order_.at(0); }
    Span<NodeId> parents() const { return parents_; }
    const ParentsFirst& order() const { return order_; }

private:
    std::vector<NodeId> parents_;
    ParentsFirst order_;
};

}  // namespace vexa
