#include "bpt/partition_cut.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/trees/parent_array.hpp"

namespace vexa {

namespace {

// The parent array as checked node ids, read from the caller's buffer once.
std::vector<NodeId> binaryMergeHistory(Span<int64_t> parents) {
    return childrenFirstNodeIdsOf(parents.data(), parents.size(), 2);
}

std::vector<int32_t> cutJoinedIds(const std::vector<NodeId>& parents, Span<int64_t> pixelToLeaf, Span<uint8_t> joined) {
    const int64_t n = int64_t(parents.size());
    if (joined.size() != parents.size())
        throw std::invalid_argument("one joined flag per node is needed: " + std::to_string(n) + " nodes, " +
                                    std::to_string(joined.size()) + " flags");
    if (n >= (int64_t(1) << 31)) throw std::invalid_argument("too many nodes for int32 labels");
    // Region of each node, parents first: its parent's when its parent is
    // joined, else its own.
    std::vector<int32_t> region(parents.size());
    for (int64_t i = n; i-- > 0;) {
        const NodeId p = parents[i];
        region[i] = p != kNoNode && joined[p] ? region[p] : int32_t(i);
    }
    // Numbered by first pixel.
    std::vector<int32_t> number(parents.size(), -1);
    std::vector<int32_t> labels(pixelToLeaf.size());
    int32_t count = 0;
    for (size_t q = 0; q < pixelToLeaf.size(); ++q) {
        const int64_t leaf = pixelToLeaf[q];
        if (leaf < 0 || leaf >= n)
            throw std::invalid_argument("pixel " + std::to_string(q) + " names node " + std::to_string(leaf) +
                                        ", outside 0.." + std::to_string(n - 1));
        int32_t& label = number[region[leaf]];
        if (label < 0) label = count++;
        labels[q] = label;
    }
    return labels;
}

}  // namespace

std::vector<int32_t> cutJoined(Span<int64_t> parents, Span<int64_t> pixelToLeaf, Span<uint8_t> joined) {
    return cutJoinedIds(binaryMergeHistory(parents), pixelToLeaf, joined);
}

std::vector<int32_t> cutRegions(Span<int64_t> parentArray, Span<int64_t> pixelToLeaf, int64_t regions) {
    const std::vector<NodeId> parents = binaryMergeHistory(parentArray);
    const int64_t n = int64_t(parents.size());
    std::vector<uint8_t> hasChildren(parents.size(), 0);
    for (NodeId p : parents)
        if (p != kNoNode) hasChildren[p] = 1;
    int64_t leaves = 0;
    while (leaves < n && !hasChildren[leaves]) ++leaves;
    for (int64_t i = leaves; i < n; ++i)
        if (!hasChildren[i])
            throw std::invalid_argument("node " + std::to_string(i) + " is a leaf after merged node " +
                                        std::to_string(leaves) + ": leaves must come first");
    const int64_t merges = n - leaves;
    if (regions < leaves - merges || regions > leaves)
        throw std::invalid_argument("the tree holds partitions of " + std::to_string(leaves - merges) + " to " +
                                    std::to_string(leaves) + " regions, not " + std::to_string(regions));
    std::vector<uint8_t> joined(parents.size(), 0);
    for (int64_t i = leaves; i < leaves + (leaves - regions); ++i) joined[i] = 1;
    return cutJoinedIds(parents, pixelToLeaf, Span<uint8_t>(joined.data(), joined.size()));
}

std::vector<int32_t> cutAt(Span<int64_t> parentArray, Span<int64_t> pixelToLeaf, Span<double> altitudes,
                           double threshold) {
    const std::vector<NodeId> parents = binaryMergeHistory(parentArray);
    if (altitudes.size() != parents.size())
        throw std::invalid_argument("one altitude per node is needed: " + std::to_string(parents.size()) + " nodes, " +
                                    std::to_string(altitudes.size()) + " altitudes");
    // Highest altitude in each subtree, children first; leaves count as -inf.
    std::vector<double> highest(parents.size(), -HUGE_VAL);
    std::vector<uint8_t> merged(parents.size(), 0);
    for (size_t i = 0; i < parents.size(); ++i) {
        if (merged[i]) highest[i] = std::fmax(highest[i], altitudes[i]);
        const NodeId p = parents[i];
        if (p == kNoNode) continue;
        merged[p] = 1;
        highest[p] = std::fmax(highest[p], highest[i]);
    }
    std::vector<uint8_t> joined(parents.size(), 0);
    for (size_t i = 0; i < parents.size(); ++i) joined[i] = merged[i] && highest[i] <= threshold;
    return cutJoinedIds(parents, pixelToLeaf, Span<uint8_t>(joined.data(), joined.size()));
}

}  // namespace vexa
