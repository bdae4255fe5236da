#include "core/trees/jacobian_indices.hpp"

#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

namespace {

// The forest of the current parent links, checked once so that the fills
// below can follow links without bounds or cycle tests. While the links are
// the ones construction made, the tree's own children lists serve as they are.
struct Forest {
    const MorphologicalTree* asBuilt = nullptr;  // set when links were never rewritten
    ParentsFirst order = ParentsFirst::ascending(0);
    ChildLists lists;      // only for rewritten links, when asked for
    uint64_t entries = 0;  // N + sum of depths

    Span<NodeId> children(NodeId id) const { return asBuilt ? asBuilt->children(id) : lists.of(id); }
};

Forest currentForest(const MorphologicalTree& tree, bool withChildren) {
    const std::vector<NodeId>& parents = tree.parents();
    Forest forest;
    if (!tree.parentLinksRewritten()) {
        // Every parent has a smaller id.
        forest.asBuilt = &tree;
        forest.order = ParentsFirst::ascending(parents.size());
    } else {
        try {
            forest.order = checkForest(parents);
        } catch (const InvalidParents& e) {
            throw std::runtime_error(std::string(e.what()) + " The Jacobian needs a forest.");
        }
        if (withChildren) forest.lists = childLists(parents);
    }
    forest.entries = parents.size();
    for (uint32_t d : depths(parents, forest.order)) forest.entries += d;
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

uint64_t ancestorMatrixEntries(const MorphologicalTree& tree) { return currentForest(tree, false).entries; }

void generateCooIndices(const MorphologicalTree& tree, std::vector<int64_t>& rows, std::vector<int64_t>& cols) {
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

void generateCsrIndices(const MorphologicalTree& tree, std::vector<int64_t>& offsets, std::vector<int64_t>& cols) {
    offsets.clear();
    cols.clear();
    const Forest forest = currentForest(tree, false);
    const std::vector<NodeId>& parent = tree.parents();
    const size_t n = parent.size();

    // Row lengths are subtree sizes, summed bottom-up, then made offsets.
    offsets.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) offsets[i + 1] = 1;
    forest.order.forEachReversed([&](NodeId c) {
        if (parent[c] != kNoNode) offsets[parent[c] + 1] += offsets[c + 1];
    });
    countsToOffsets(offsets);

    // Each node, in ascending id, is appended to its own row and to the row of
    // every ancestor, so every row comes out sorted without a sort.
    cols.resize(forest.entries);
    std::vector<int64_t> cursor(offsets.begin(), offsets.end() - 1);
    InterruptPoll poll;
    for (NodeId c = 0; c < n; ++c) {
        poll.step();
        for (NodeId p = c; p != kNoNode; p = parent[p]) {
            poll.step();
            cols[cursor[p]++] = c;
        }
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
           [&](std::vector<int64_t>& offsets, std::vector<int64_t>& cols) { generateCsrIndices(tree, offsets, cols); });
}

}  // namespace vexa
