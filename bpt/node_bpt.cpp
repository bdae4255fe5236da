#include "bpt/node_bpt.hpp"

#include <algorithm>

#include "bpt/binary_partition_tree.hpp"

namespace vexa {

NodeBPT::NodeBPT(int32_t id, Pixel pixel)
    : id_(uint32_t(id)),
      top_(uint32_t(pixel.row)),
      left_(uint32_t(pixel.col)),
      bottom_(uint32_t(pixel.row)),
      right_(uint32_t(pixel.col)) {}

NodeBPT::NodeBPT(int32_t id, NodeBPT& first, NodeBPT& second, float metric)
    : id_(uint32_t(id)),
      top_(std::min(first.top_, second.top_)),
      left_(std::min(first.left_, second.left_)),
      bottom_(std::max(first.bottom_, second.bottom_)),
      right_(std::max(first.right_, second.right_)),
      metric_(metric),
      first_(&first),
      second_(&second),
      numPixels_(first.numPixels_ + second.numPixels_) {}

void NodeBPT::appendPixel(uint32_t pixel, uint32_t numCols) {
    if (!ownPixels_) ownPixels_ = std::make_unique<std::vector<uint32_t>>();
    ownPixels_->push_back(pixel);
    ++numPixels_;
    const uint32_t row = pixel / numCols, col = pixel % numCols;
    top_ = std::min(top_, row);
    left_ = std::min(left_, col);
    bottom_ = std::max(bottom_, row);
    right_ = std::max(right_, col);
}

Span<uint32_t> NodeBPT::leafPixels() const {
    if (!isLeaf()) return {};
    if (tree_) return tree_->leafPixels(*this);
    if (ownPixels_) return {ownPixels_->data(), ownPixels_->size()};
    return {};
}

std::vector<uint32_t> NodeBPT::ccps() const {
    std::vector<uint32_t> pixels;
    pixels.reserve(numPixels_);
    // Leaves left to right: the second child waits under the first.
    std::vector<const NodeBPT*> pending{this};
    while (!pending.empty()) {
        const NodeBPT* node = pending.back();
        pending.pop_back();
        if (node->isLeaf()) {
            const Span<uint32_t> own = node->leafPixels();
            pixels.insert(pixels.end(), own.begin(), own.end());
        } else {
            pending.push_back(node->second_);
            pending.push_back(node->first_);
        }
    }
    return pixels;
}

std::vector<NodeBPT*> NodeBPT::neighbors() const {
    if (!tree_) return {};
    return tree_->neighbors(*this);
}

}  // namespace vexa
