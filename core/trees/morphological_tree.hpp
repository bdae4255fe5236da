#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/geometry/image_view.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/runtime/span.hpp"
#include "core/trees/node_id.hpp"

namespace vexa {

// Inclusive bounding box; rows grow downwards.
struct Box {
    uint32_t top, left, bottom, right;
};

// Strict order of the 256 grey levels: before(a, b) is true when pixels of
// level a are processed before pixels of level b.
struct LevelComparator {
    bool (*before)(uint32_t a, uint32_t b);
    bool operator()(uint32_t a, uint32_t b) const { return before(a, b); }
};

// Index vectors of the sparse ancestor matrix, filled on request by the
// tensor layer and owned by the tree.
struct JacobianIndexCache {
    std::vector<int64_t> cooRowIndices;
    std::vector<int64_t> cooColIndices;
    std::vector<int64_t> csrRowOffsets;
    std::vector<int64_t> csrColIndices;
};

class Node;
struct SpreadNodes;
template <typename Rank>
struct BasicComponentForest;
using ComponentForest = BasicComponentForest<uint8_t>;

// Component tree of an 8-bit image, stored as flat arrays indexed by node id.
//
// Ids run 0..N-1 in the order in which the nodes' canonical pixels appear in
// reverse processing order, so every child has a larger id than its parent.
// Pixels are processed by the comparator's level order, ties by ascending
// linear index.
class MorphologicalTree {
public:
    // bands: how many slabs of rows the flood is split into (0: one per
    // thread the budget allows, on large images). The tree never depends on it.
    MorphologicalTree(const ImageView& image, float radius, LevelComparator comparator, unsigned bands = 0);
    ~MorphologicalTree();
    MorphologicalTree(const MorphologicalTree&) = delete;
    MorphologicalTree& operator=(const MorphologicalTree&) = delete;

    uint32_t numRows() const { return numRows_; }
    uint32_t numCols() const { return numCols_; }
    uint64_t numPixels() const { return uint64_t(numRows_) * numCols_; }
    size_t numNodes() const { return levels_.size(); }
    float adjacencyRadius() const { return adjacencyRadius_; }
    // The root: node 0 of a tree with an adjacency, the last node created
    // when the adjacency is empty, kNoNode for an image without pixels.
    NodeId rootId() const { return rootId_; }

    // Per node; ids must be below numNodes().
    uint8_t level(NodeId id) const { return levels_[id]; }
    NodeId parent(NodeId id) const { return parents_[id]; }
    // Re-points a parent link (kNoNode for none); children lists keep their
    // built content. Links written this way may form cycles.
    void setParent(NodeId id, NodeId parent) {
        parents_[id] = parent;
        parentLinksRewritten_ = true;
    }
    // False while every parent link is the one construction made: then links
    // agree with the children lists and always point to a smaller id.
    bool parentLinksRewritten() const { return parentLinksRewritten_; }
    // Nodes that construction made without a parent, in ascending id: the
    // root alone, or every node when the adjacency is empty.
    std::vector<NodeId> parentlessAtConstruction() const;
    Span<NodeId> children(NodeId id) const {
        return {childIds_.data() + childOffsets_[id], size_t(childOffsets_[id + 1] - childOffsets_[id])};
    }
    // Compact pixels, by descending linear index; the first is the representant.
    Span<uint32_t> cnps(NodeId id) const {
        return {cnpPixels_.data() + cnpOffsets_[id], size_t(cnpOffsets_[id + 1] - cnpOffsets_[id])};
    }
    uint32_t representant(NodeId id) const { return cnpPixels_[cnpOffsets_[id]]; }
    // Level minus the level of the current parent; the level itself without one.
    int32_t residue(NodeId id) const;
    const Box& box(NodeId id) const { return boxes_[id]; }
    Box& box(NodeId id) { return boxes_[id]; }
    // All pixels of the component, in reverse processing order (by reverse
    // level order, ties by descending index). Produced on request.
    std::vector<uint32_t> pixelsOfCC(NodeId id) const;
    // Number of pixels of the component, without listing them.
    uint64_t componentSize(NodeId id) const;

    // Whole-tree arrays, indexed by node id or by linear pixel index.
    const std::vector<uint8_t>& levels() const { return levels_; }
    const std::vector<NodeId>& parents() const { return parents_; }
    const std::vector<float>& nodeResidues() const { return nodeResidues_; }
    const ReusedVector<uint32_t>& pixelToNodeId() const { return pixelToNodeId_; }
    // Position of each grey level in the processing order (0 = first).
    const std::array<uint8_t, 256>& levelRank() const { return levelRank_; }

    // Stable node handles for the bindings, made on first use.
    Node& node(NodeId id);

    JacobianIndexCache jacobianCache;

private:
    void build(const ImageView& image, LevelComparator comparator, unsigned bands);
    void assignIds(ComponentForest& forest, const std::array<uint8_t, 256>& levelAtRank, unsigned threads);
    void fillCompactPixels(const ReusedVector<uint32_t>& pixelNode,
                           const std::vector<std::pair<uint64_t, uint64_t>>& bands, const SpreadNodes& spread,
                           unsigned threads, const std::function<void()>& alongside);
    void fillResiduesAndChildren();

    uint32_t numRows_ = 0;
    uint32_t numCols_ = 0;
    float adjacencyRadius_;
    NodeId rootId_ = kNoNode;
    bool parentLinksRewritten_ = false;
    std::array<uint8_t, 256> levelRank_{};

    std::vector<uint8_t> levels_;
    std::vector<NodeId> parents_;
    std::vector<float> nodeResidues_;
    std::vector<Box> boxes_;
    std::vector<uint32_t> childOffsets_;  // N + 1 entries
    std::vector<NodeId> childIds_;
    std::vector<uint32_t> cnpOffsets_;  // N + 1 entries
    ReusedVector<uint32_t> cnpPixels_;  // every entry written by the per-band fill
    ReusedVector<uint32_t> pixelToNodeId_;

    // Node handles in chunks of kHandleChunk, each made when first asked for.
    static constexpr NodeId kHandleChunk = 4096;
    std::vector<std::unique_ptr<Node[]>> nodeHandles_;
};

}  // namespace vexa
