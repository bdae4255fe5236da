#pragma once
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "core/geometry/pixel.hpp"
#include "core/runtime/span.hpp"

namespace vexa {

class BinaryPartitionTree;

// One region of a binary partition tree: a leaf (an initial region) or the
// union of its two children.
//
// Nodes built by a tree live in the tree's node array and read their leaf
// pixels and neighbour lists from the tree, so a merged node holds no copy of
// its pixels: `ccps` walks its leaves when asked. Nodes built with the public
// constructors stand alone, with no neighbours.
class NodeBPT {
public:
    // A leaf whose box starts at `pixel`; its pixel list starts empty and is
    // filled with appendPixel. The id's bits are kept as an unsigned value.
    NodeBPT(int32_t id, Pixel pixel);
    // The union of two regions: pixels of `first` then of `second`, box the
    // union of theirs. The children are left as they are: linking them to
    // their parent is the tree's work.
    NodeBPT(int32_t id, NodeBPT& first, NodeBPT& second, float metric);

    NodeBPT(NodeBPT&&) = default;
    NodeBPT(const NodeBPT&) = delete;
    NodeBPT& operator=(const NodeBPT&) = delete;

    // Adds a pixel to a stand-alone leaf and widens its box.
    void appendPixel(uint32_t pixel, uint32_t numCols);

    uint32_t id() const { return id_; }
    uint32_t top() const { return top_; }
    uint32_t left() const { return left_; }
    uint32_t bottom() const { return bottom_; }
    uint32_t right() const { return right_; }
    NodeBPT* first() const { return first_; }
    NodeBPT* second() const { return second_; }
    NodeBPT* parent() const { return parent_; }
    // True until the node is merged into a parent.
    bool active() const { return active_; }
    // NaN until computed.
    float metric() const { return metric_; }
    bool isLeaf() const { return first_ == nullptr; }
    // The tree that built the node; null for a node made on its own.
    const BinaryPartitionTree* tree() const { return tree_; }
    // Number of pixels of the region, without listing them.
    uint64_t numPixels() const { return numPixels_; }

    // Pixels of the region: a leaf's in increasing index order, a merged
    // node's as its first child's list followed by its second child's.
    std::vector<uint32_t> ccps() const;
    // The pixels a leaf holds itself (empty for a merged node).
    Span<uint32_t> leafPixels() const;
    // The adjacent regions: for a node merged into a parent, those adjacent
    // when it was merged (its sibling among them); else the current ones.
    std::vector<NodeBPT*> neighbors() const;

private:
    friend class BinaryPartitionTree;
    NodeBPT() = default;

    uint32_t id_ = 0;
    uint32_t top_ = 0, left_ = 0, bottom_ = 0, right_ = 0;
    bool active_ = true;
    float metric_ = std::numeric_limits<float>::quiet_NaN();
    NodeBPT* first_ = nullptr;
    NodeBPT* second_ = nullptr;
    NodeBPT* parent_ = nullptr;
    uint64_t numPixels_ = 0;
    // The tree that built the node; null for a stand-alone node.
    const BinaryPartitionTree* tree_ = nullptr;
    // Pixels of a stand-alone leaf.
    std::unique_ptr<std::vector<uint32_t>> ownPixels_;
};

}  // namespace vexa
