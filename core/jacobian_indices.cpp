#include "core/jacobian_indices.hpp"

#include <stdexcept>
#include <string>

#include "core/interrupt.hpp"

namespace vexa {

namespace {

// The forest of the current parent links, checked once so that the fills
// below can follow links without bounds or cycle tests. While the links are
// the ones construction made, the tree's own children lists and id order
// serve as they are.
struct Forest {
    const MorphologicalTree* asBuilt = nullptr;  // set when links were never rewritten
    std::vector<uint32_t> depth;                 // proper ancestors of each node
    std::vector<NodeId> topDown;                 // every node after its parent (ids when as built)
    std::vector<uint32_t> childOffsets;          // N + 1 entries
    std::vector<NodeId> childIds;                // ascending under each parent
    uint64_t entries = 0;                        // N + sum of depths

    Span<NodeId> children(NodeId id) const {
        if (asBuilt) return asBuilt->children(id);
        return {childIds.data() + childOffsets[id], size_t(childOffsets[id + 1] - childOffsets[id])};
    }
    NodeId topDownAt(size_t k) const { return asBuilt ? NodeId(k) : topDown[k]; }
};

constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr uint32_t kOnPath = 0xFFFFFFFEu;

// Depths by walking up from each node until a root or a node already done.
// Each node is walked over once, so this is linear even for long chains.
void computeDepths(const std::vector<NodeId>& parent, Forest& forest) {
    const size_t n = parent.size();
    for (size_t i = 0; i < n; ++i)
        if (parent[i] != kNoNode && parent[i] >= n)
            throw std::runtime_error("Parent link of node " + std::to_string(i) +
                                     " points outside the tree.");
    forest.depth.assign(n, kUnknown);
    forest.topDown.reserve(n);
    std::vector<NodeId> path;
    InterruptPoll poll;
    for (NodeId i = 0; i < n; ++i) {
        if (forest.depth[i] != kUnknown) continue;
        NodeId p = i;
        while (p != kNoNode && forest.depth[p] == kUnknown) {
            poll.step();
            forest.depth[p] = kOnPath;
            path.push_back(p);
            p = parent[p];
        }
        if (p != kNoNode && forest.depth[p] == kOnPath)
            throw std::runtime_error("Parent links form a cycle through node " + std::to_string(p) +
                                     "; the Jacobian needs a forest.");
        uint32_t d = p == kNoNode ? 0 : forest.depth[p] + 1;
        for (; !path.empty(); path.pop_back(), ++d) {
            forest.depth[path.back()] = d;
            forest.topDown.push_back(path.back());
            forest.entries += uint64_t(d) + 1;
        }
    }
}

// Children by a counting pass over ascending ids: lists come out ascending,
// as construction makes them.
void computeChildren(const std::vector<NodeId>& parent, Forest& forest) {
    const size_t n = parent.size();
    forest.childOffsets.assign(n + 1, 0);
    for (NodeId p : parent)
        if (p != kNoNode) ++forest.childOffsets[p + 1];
    for (size_t i = 0; i < n; ++i) forest.childOffsets[i + 1] += forest.childOffsets[i];
    forest.childIds.resize(forest.childOffsets[n]);
    std::vector<uint32_t> cursor(forest.childOffsets.begin(), forest.childOffsets.end() - 1);
    for (NodeId c = 0; c < n; ++c)
        if (parent[c] != kNoNode) forest.childIds[cursor[parent[c]]++] = c;
}

Forest currentForest(const MorphologicalTree& tree, bool withChildren) {
    Forest forest;
    if (!tree.parentLinksRewritten()) {
        // Every parent has a smaller id: depths in one forward pass.
        const std::vector<NodeId>& parent = tree.parents();
        forest.asBuilt = &tree;
        forest.depth.resize(parent.size());
        for (size_t i = 0; i < parent.size(); ++i) {
            forest.depth[i] = parent[i] == kNoNode ? 0 : forest.depth[parent[i]] + 1;
            forest.entries += uint64_t(forest.depth[i]) + 1;
        }
        return forest;
    }
    computeDepths(tree.parents(), forest);
    if (withChildren) computeChildren(tree.parents(), forest);
    return forest;
}

// Clears a layout's pair of vectors when its fill does not complete.
template <typename Fill>
void refill(std::vector<int64_t>& first, std::vector<int64_t>& second, Fill&& fill) {
    try {
        fill(first, second);
    } catch (...) {
        first.clear();
        second.clear();
        throw;
    }
}

}  // namespace

uint64_t ancestorMatrixEntries(const MorphologicalTree& tree) {
    return currentForest(tree, false).entries;
}

void generateCooIndices(const MorphologicalTree& tree, std::vector<int64_t>& rows,
                        std::vector<int64_t>& cols) {
    rows.clear();
    cols.clear();
    const Forest forest = currentForest(tree, true);
    const std::vector<NodeId>& parent = tree.parents();
    rows.reserve(forest.entries);
    cols.reserve(forest.entries);
    // Every child of a has the same proper ancestors: a's own path to its root.
    std::vector<int64_t> path;
    InterruptPoll poll;
    for (NodeId a = 0; a < parent.size(); ++a) {
        poll.step();
        rows.push_back(a);
        cols.push_back(a);
        const Span<NodeId> kids = forest.children(a);
        if (kids.empty()) continue;
        path.clear();
        for (NodeId p = a; p != kNoNode; p = parent[p]) path.push_back(p);
        for (NodeId c : kids) {
            poll.step(uint32_t(path.size()));
            rows.insert(rows.end(), path.begin(), path.end());
            cols.insert(cols.end(), path.size(), int64_t(c));
        }
    }
}

void generateCsrIndices(const MorphologicalTree& tree, std::vector<int64_t>& offsets,
                        std::vector<int64_t>& cols) {
    offsets.clear();
    cols.clear();
    const Forest forest = currentForest(tree, false);
    const std::vector<NodeId>& parent = tree.parents();
    const size_t n = parent.size();

    // Row lengths are subtree sizes, summed bottom-up, then made offsets.
    offsets.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) offsets[i + 1] = 1;
    for (size_t k = n; k-- > 0;) {
        const NodeId c = forest.topDownAt(k);
        if (parent[c] != kNoNode) offsets[parent[c] + 1] += offsets[c + 1];
    }
    for (size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];

    // Each node, in ascending id, is appended to its own row and to the row of
    // every ancestor, so every row comes out sorted without a sort.
    cols.resize(forest.entries);
    std::vector<int64_t> cursor(offsets.begin(), offsets.end() - 1);
    InterruptPoll poll;
    for (NodeId c = 0; c < n; ++c) {
        poll.step(forest.depth[c] + 1);
        for (NodeId p = c; p != kNoNode; p = parent[p]) cols[cursor[p]++] = c;
    }
}

void generateSparseCooIndices(MorphologicalTree& tree) {
    JacobianIndexCache& cache = tree.jacobianCache;
    refill(cache.cooRowIndices, cache.cooColIndices,
           [&](std::vector<int64_t>& rows, std::vector<int64_t>& cols) { generateCooIndices(tree, rows, cols); });
}

void generateSparseCsrIndices(MorphologicalTree& tree) {
    JacobianIndexCache& cache = tree.jacobianCache;
    refill(cache.csrRowOffsets, cache.csrColIndices,
           [&](std::vector<int64_t>& offsets, std::vector<int64_t>& cols) {
               generateCsrIndices(tree, offsets, cols);
           });
}

}  // namespace vexa
