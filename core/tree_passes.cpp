#include "core/tree_passes.hpp"

namespace vexa {

void subtreeSizes(Span<NodeId> parents, const ParentsFirst& order, uint32_t* out) {
    for (size_t i = 0; i < parents.size(); ++i) out[i] = 1;
    combineIntoParents<SumOf>(parents, order, out, 1);
}

void nearestKept(Span<NodeId> parents, const ParentsFirst& order, const bool* keep, bool rootsKept, int64_t* out) {
    InterruptPoll poll;
    order.forEach([&](NodeId i) {
        const NodeId p = parents[i];
        if (p == kNoNode) out[i] = keep[i] || rootsKept ? int64_t(i) : -1;
        else out[i] = keep[i] ? int64_t(i) : out[p];
        poll.step();
    });
}

std::vector<NodeId> leavesOf(Span<NodeId> parents) {
    const size_t n = parents.size();
    std::vector<uint8_t> parent(n, 0);
    for (NodeId p : parents)
        if (p != kNoNode) parent[p] = 1;
    std::vector<NodeId> leaves;
    for (size_t i = 0; i < n; ++i)
        if (!parent[i]) leaves.push_back(NodeId(i));
    return leaves;
}

size_t rankKept(Span<NodeId> parents, const bool* keep, int64_t* nodeMap) {
    int64_t rank = 0;
    for (size_t i = 0; i < parents.size(); ++i) nodeMap[i] = keep[i] || parents[i] == kNoNode ? rank++ : -1;
    return size_t(rank);
}

void simplifyRanked(Span<NodeId> parents, const ParentsFirst& order, int64_t* newParents, int64_t* nodeMap) {
    // Parents first, every node that is not kept takes its parent's entry.
    InterruptPoll poll;
    order.forEach([&](NodeId i) {
        const NodeId p = parents[i];
        if (p == kNoNode) newParents[nodeMap[i]] = -1;
        else if (nodeMap[i] >= 0) newParents[nodeMap[i]] = nodeMap[p];
        else nodeMap[i] = nodeMap[p];
        poll.step();
    });
}

}  // namespace vexa
