#include "core/checked_tree.hpp"

namespace vexa {

namespace {

std::vector<NodeId> nonEmptyNodeIdsOf(const int64_t* parents, size_t n) {
    if (n == 0) throw InvalidParents("parents is empty; a tree has at least its root.");
    return nodeIdsOf(parents, n);
}

}  // namespace

CheckedTree::CheckedTree(const int64_t* parents, size_t n)
    : parents_(nonEmptyNodeIdsOf(parents, n)), order_(checkForest(parents_, Roots::ExactlyOne)) {}

}  // namespace vexa
