#include "core/trees/parent_array.hpp"

#include <string>

#include "core/runtime/interrupt.hpp"

namespace vexa {

namespace {

std::string nodeName(size_t id) { return "node " + std::to_string(id); }

// A node on the cycle above `start`, whose ancestors never reach a root.
NodeId nodeOnCycle(Span<NodeId> parents, NodeId start) {
    std::vector<bool> seen(parents.size(), false);
    NodeId p = start;
    while (!seen[p]) {
        seen[p] = true;
        p = parents[p];
    }
    return p;
}

[[noreturn]] void throwCycle(Span<NodeId> parents, NodeId start) {
    throw InvalidParents("parents form a cycle through " + nodeName(nodeOnCycle(parents, start)) +
                         ": following parent links from it comes back to it.");
}

// The nodes without parent: how many, and the first two.
struct RootCount {
    size_t count = 0;
    NodeId first = kNoNode, second = kNoNode;
    void add(NodeId id) {
        if (count == 0) first = id;
        else if (count == 1) second = id;
        ++count;
    }
};

void checkRoots(Span<NodeId> parents, const RootCount& roots, Roots expected) {
    if (!parents.empty() && roots.count == 0)
        throw InvalidParents("parents has no root (no node without parent), so its links form a cycle through " +
                             nodeName(nodeOnCycle(parents, 0)) + ".");
    if (expected == Roots::ExactlyOne && roots.count > 1)
        throw InvalidParents("parents has " + std::to_string(roots.count) + " roots (" + nodeName(roots.first) + ", " +
                             nodeName(roots.second) + (roots.count > 2 ? ", ..." : "") + "); expected a single root.");
}

}  // namespace

std::vector<NodeId> nodeIdsOf(const int64_t* parents, size_t n) {
    if (n >= kNoNode)
        throw InvalidParents("parents has " + std::to_string(n) + " nodes; at most " + std::to_string(kNoNode - 1) +
                             " are supported.");
    std::vector<NodeId> ids(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t p = parents[i];  // read once: the caller's buffer may change meanwhile
        if (p < -1 || p >= int64_t(n))
            throw InvalidParents("parents[" + std::to_string(i) + "] is " + std::to_string(p) + ", outside -1.." +
                                 std::to_string(int64_t(n) - 1) + ".");
        ids[i] = p < 0 ? kNoNode : NodeId(p);
    }
    return ids;
}

std::vector<NodeId> childrenFirstNodeIdsOf(const int64_t* parents, size_t n, uint32_t maxChildren) {
    if (n >= kNoNode)
        throw InvalidParents("parents has " + std::to_string(n) + " nodes; at most " + std::to_string(kNoNode - 1) +
                             " are supported.");
    std::vector<NodeId> ids(n);
    std::vector<uint32_t> children(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const int64_t p = parents[i];  // read once: the caller's buffer may change meanwhile
        if (p == -1) {
            ids[i] = kNoNode;
            continue;
        }
        if (p <= int64_t(i) || p >= int64_t(n))
            throw InvalidParents("parents[" + std::to_string(i) + "] = " + std::to_string(p) +
                                 ": a parent must come after its node, before " + std::to_string(n) + ", or be -1.");
        if (++children[p] > maxChildren)
            throw InvalidParents(nodeName(size_t(p)) + " has more than " +
                                 (maxChildren == 2 ? std::string("two") : std::to_string(maxChildren)) + " children.");
        ids[i] = NodeId(p);
    }
    return ids;
}

ParentsFirst checkForest(Span<NodeId> parents, Roots roots) {
    const size_t n = parents.size();
    bool ascending = true, descending = true;
    RootCount rootCount;
    for (size_t i = 0; i < n; ++i) {
        const NodeId p = parents[i];
        if (p == kNoNode) {
            rootCount.add(NodeId(i));
            continue;
        }
        if (p >= n)
            throw InvalidParents("the parent of " + nodeName(i) + " is " + std::to_string(p) + ", outside 0.." +
                                 std::to_string(n - 1) + ".");
        ascending = ascending && p < i;
        descending = descending && p > i;
    }
    checkRoots(parents, rootCount, roots);
    if (ascending) return ParentsFirst::ascending(n);
    if (descending) return ParentsFirst::descending(n);

    // Any other forest: walk up from each node not yet placed until a root
    // or a placed node, then place the path top down. Every node is walked
    // over once; meeting the current path again is a cycle.
    enum : uint8_t { kUnplaced, kOnPath, kPlaced };
    std::vector<uint8_t> state(n, kUnplaced);
    std::vector<NodeId> order, path;
    order.reserve(n);
    InterruptPoll poll;
    for (size_t i = 0; i < n; ++i) {
        NodeId p = NodeId(i);
        while (p != kNoNode && state[p] == kUnplaced) {
            state[p] = kOnPath;
            path.push_back(p);
            p = parents[p];
            poll.step();
        }
        if (p != kNoNode && state[p] == kOnPath) throwCycle(parents, p);
        for (; !path.empty(); path.pop_back()) {
            state[path.back()] = kPlaced;
            order.push_back(path.back());
        }
    }
    return ParentsFirst::listed(std::move(order));
}

ChildLists childLists(Span<NodeId> parents) {
    const size_t n = parents.size();
    ChildLists lists;
    lists.offsets.assign(n + 1, 0);
    for (NodeId p : parents)
        if (p != kNoNode) ++lists.offsets[p + 1];
    countsToOffsets(lists.offsets);
    lists.ids.resize(lists.offsets.back());
    std::vector<uint32_t> cursor(lists.offsets.begin(), lists.offsets.end() - 1);
    for (size_t c = 0; c < n; ++c)
        if (parents[c] != kNoNode) lists.ids[cursor[parents[c]]++] = NodeId(c);
    return lists;
}

std::vector<uint32_t> depths(Span<NodeId> parents, const ParentsFirst& order) {
    std::vector<uint32_t> depth(parents.size());
    order.forEach([&](NodeId i) { depth[i] = parents[i] == kNoNode ? 0 : depth[parents[i]] + 1; });
    return depth;
}

}  // namespace vexa
