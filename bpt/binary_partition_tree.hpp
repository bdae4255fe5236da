#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "bpt/dissimilarity.hpp"
#include "bpt/label_index.hpp"
#include "bpt/node_bpt.hpp"
#include "core/geometry/image_view.hpp"
#include "core/runtime/span.hpp"

namespace vexa {

// Messages of the input checks, shared with the bindings.
inline constexpr const char* kShapeMismatchMessage = "Image and label map must have the same shape.";
inline constexpr const char* kEmptyImageMessage = "Image must have at least one pixel.";
inline constexpr const char* kLabelRangeMessage =
    "Labels too large: the largest label plus the number of distinct labels minus one must be "
    "below 2^32, or merged regions would get ids of existing regions.";

// Binary partition tree of an image over an initial partition (a label map).
//
// Every distinct label is a leaf whose id is the label. Adjacent regions
// (8-neighbourhood) are merged two at a time, least dissimilar first, into
// new nodes with ids counting up from the largest label + 1, until no
// adjacent pair is left; the last node made is the root.
//
// Nodes are kept in one array in ascending id order (leaves by label, then
// merged nodes by creation) and never move, so pointers to them stay valid
// for the tree's lifetime.
class BinaryPartitionTree {
public:
    // Checks the measure, equal shapes, a non-empty image and the label range
    // (std::runtime_error), then builds the whole tree.
    BinaryPartitionTree(const ImageView& image, const LabelView& labels, DissimilarityType type);
    ~BinaryPartitionTree();
    BinaryPartitionTree(const BinaryPartitionTree&) = delete;
    BinaryPartitionTree& operator=(const BinaryPartitionTree&) = delete;

    uint32_t numRows() const { return numRows_; }
    uint32_t numCols() const { return numCols_; }
    size_t numNodes() const { return nodes_.size(); }
    // Nodes by position in ascending id order.
    NodeBPT& node(size_t index) { return nodes_[index]; }
    const NodeBPT& node(size_t index) const { return nodes_[index]; }
    NodeBPT* root() { return &nodes_.back(); }
    std::vector<NodeBPT*> nodes();
    // Position of a node of this tree in the node list (ascending id).
    size_t indexOf(const NodeBPT& node) const { return size_t(&node - nodes_.data()); }
    const DissimilarityProcessor& processor() const { return *processor_; }
    DissimilarityType type() const { return type_; }
    // The grey levels the tree was built from, row-major: with the leaves'
    // labels they rebuild the tree (pickling), which its metrics alone cannot.
    Span<uint8_t> image() const { return {image_.data(), image_.size()}; }

    // For the nodes of this tree.
    Span<uint32_t> leafPixels(const NodeBPT& leaf) const;
    std::vector<NodeBPT*> neighbors(const NodeBPT& node) const;

private:
    struct MergeState;
    void makeLeaves(const LabelView& labels, const LabelIndex& index);
    void computeLeafMetrics(const uint8_t* image, MergeState& state);
    void findAdjacencies(const LabelView& labels, const LabelIndex& index, MergeState& state);
    void mergeRegions(MergeState& state);
    void updateNeighbors(uint32_t child, uint32_t sibling, uint32_t merged, MergeState& state);

    uint32_t numRows_ = 0;
    uint32_t numCols_ = 0;
    DissimilarityType type_;
    std::unique_ptr<DissimilarityProcessor> processor_;
    std::vector<uint8_t> image_;  // 1 byte per pixel
    // Reserved for every node the tree can make, so nodes never move.
    std::vector<NodeBPT> nodes_;
    // Pixels of the leaves, grouped by leaf in ascending order within each:
    // leaf k owns leafPixels_[leafStart_[k] .. leafStart_[k + 1]).
    std::vector<uint32_t> leafStart_;
    std::vector<uint32_t> leafPixels_;
    // Neighbour lists by node index, in the order adjacencies were recorded.
    // While the tree grows, entries of merged regions are dropped lazily.
    std::vector<std::vector<uint32_t>> neighbors_;
};

}  // namespace vexa
