#include "core/morphological_tree.hpp"

#include <malloc.h>

#include <algorithm>
#include <numeric>

#include "core/adjacency.hpp"
#include "core/component_forest.hpp"
#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "core/node.hpp"
#include "core/parent_array.hpp"

namespace vexa {

MorphologicalTree::MorphologicalTree(const ImageView& image, float radius, LevelComparator comparator)
    : numRows_(image.numRows), numCols_(image.numCols), adjacencyRadius_(radius) {
    checkImageSize(image.numRows, image.numCols);
    build(image, comparator);
}

MorphologicalTree::~MorphologicalTree() {
    std::vector<std::unique_ptr<Node[]>>().swap(nodeHandles_);
    std::vector<uint8_t>().swap(levels_);
    std::vector<NodeId>().swap(parents_);
    std::vector<float>().swap(nodeResidues_);
    std::vector<Box>().swap(boxes_);
    std::vector<uint32_t>().swap(childOffsets_);
    std::vector<NodeId>().swap(childIds_);
    std::vector<uint32_t>().swap(cnpOffsets_);
    std::vector<uint32_t>().swap(cnpPixels_);
    std::vector<uint32_t>().swap(pixelToNodeId_);
    jacobianCache = JacobianIndexCache();
    // Large trees release hundreds of megabytes: hand them back to the system.
    malloc_trim(0);
}

void MorphologicalTree::build(const ImageView& image, LevelComparator comparator) {
    const uint32_t width = numCols_, height = numRows_;
    const uint32_t n = uint32_t(image.numPixels());

    // Processing order of the levels.
    std::array<uint8_t, 256> levelAtRank;
    std::iota(levelAtRank.begin(), levelAtRank.end(), 0);
    std::sort(levelAtRank.begin(), levelAtRank.end(),
              [&](uint8_t a, uint8_t b) { return comparator(a, b); });
    for (int r = 0; r < 256; ++r) levelRank_[levelAtRank[r]] = uint8_t(r);

    childOffsets_.assign(1, 0);
    cnpOffsets_.assign(1, 0);
    if (n == 0) return;

    const std::vector<Offset> offsets = adjacencyOffsets(adjacencyRadius_, width - 1, height - 1);
    const uint64_t fullSquare = (2 * uint64_t(width) - 1) * (2 * uint64_t(height) - 1) - 1;
    ComponentForest forest = offsets.empty()                  ? isolatedComponents(image, levelRank_)
                             : offsets.size() == fullSquare   ? levelComponents(image, levelRank_)
                                                              : floodComponents(image, levelRank_, offsets);
    assignIds(image, forest);
}

void MorphologicalTree::assignIds(const ImageView& image, ComponentForest& forest) {
    const uint8_t* level = image.data;
    std::vector<uint32_t>& pixelNode = forest.componentOf;
    const uint32_t n = uint32_t(pixelNode.size());
    const size_t numComponents = forest.components.size();

    // Ids follow the reverse processing order of each node's last processed
    // pixel: ranks from the last processed down, within a rank by descending
    // largest pixel index. A backward pixel scan meets the nodes of each rank
    // in exactly that order; the same scan turns each pixel's component into
    // its node id.
    std::array<uint32_t, 256> nextIdOfRank{};
    std::array<uint32_t, 256> liveOfRank{};
    size_t numNodes = 0;
    for (size_t c = 0; c < forest.components.size(); ++c) {
        if (!forest.isLive(uint32_t(c))) continue;
        ++liveOfRank[forest.ranks[c]];
        ++numNodes;
    }
    for (uint32_t r = 256, start = 0; r-- > 0;) {
        nextIdOfRank[r] = start;
        start += liveOfRank[r];
    }
    levels_.resize(numNodes);
    std::vector<NodeId> idOf(numComponents, kNoNode);
    InterruptPoll poll;
    for (uint32_t p = n; p-- > 0;) {
        poll.step();
        NodeId& id = idOf[pixelNode[p]];
        if (id == kNoNode) {
            // A fused component takes the id of the one it was fused into.
            NodeId& liveId = idOf[forest.live(pixelNode[p])];
            if (liveId == kNoNode) {
                liveId = nextIdOfRank[levelRank_[level[p]]]++;
                levels_[liveId] = level[p];
            }
            id = liveId;
        }
        pixelNode[p] = id;
    }

    // The remaining passes split over two threads on large trees: each
    // writes arrays the other does not touch.
    const bool parallel = n >= parallelThreshold;
    parents_.resize(numNodes);
    cnpOffsets_.assign(numNodes + 1, 0);
    auto scatter = [&](size_t begin, size_t end) {
        for (size_t c = begin; c < end; ++c) {
            if (!forest.isLive(uint32_t(c))) continue;
            const ComponentForest::Component& comp = forest.components[c];
            parents_[idOf[c]] = comp.parent == ComponentForest::kNone ? kNoNode : idOf[forest.live(comp.parent)];
            cnpOffsets_[idOf[c] + 1] = comp.size;
        }
    };
    runBoth(parallel, [&] { scatter(0, numComponents / 2); }, [&] { scatter(numComponents / 2, numComponents); });
    std::vector<ComponentForest::Component>().swap(forest.components);
    std::vector<NodeId>().swap(idOf);
    countsToOffsets(cnpOffsets_);

    runBoth(parallel, [&] { fillCompactPixels(pixelNode); }, [&] { fillResiduesAndChildren(); });
    pixelToNodeId_ = std::move(pixelNode);
}

void MorphologicalTree::fillCompactPixels(const std::vector<uint32_t>& pixelNode) {
    // Compact pixels grouped by node, each group by descending index, and
    // the box of each node's compact pixels.
    const uint32_t n = uint32_t(pixelNode.size());
    cnpPixels_.resize(n);
    boxes_.assign(levels_.size(), Box{0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0});
    std::vector<uint32_t> cursor(cnpOffsets_.begin(), cnpOffsets_.end() - 1);
    uint32_t p = n;
    for (uint32_t row = numRows_; row-- > 0;) {
        for (uint32_t col = numCols_; col-- > 0;) {
            const NodeId id = pixelNode[--p];
            cnpPixels_[cursor[id]++] = p;
            Box& b = boxes_[id];
            b.top = std::min(b.top, row);
            b.left = std::min(b.left, col);
            b.bottom = std::max(b.bottom, row);
            b.right = std::max(b.right, col);
        }
    }
}

void MorphologicalTree::fillResiduesAndChildren() {
    const NodeId numNodes = NodeId(levels_.size());
    nodeResidues_.resize(numNodes);
    for (NodeId id = 0; id < numNodes; ++id) {
        const NodeId parent = parents_[id];
        if (parent == kNoNode) {
            nodeResidues_[id] = float(levels_[id]);
            rootId_ = id;  // the last one when the adjacency is empty
        } else {
            nodeResidues_[id] = float(int32_t(levels_[id]) - int32_t(levels_[parent]));
        }
    }
    ChildLists lists = childLists(parents_);
    childOffsets_ = std::move(lists.offsets);
    childIds_ = std::move(lists.ids);
}

int32_t MorphologicalTree::residue(NodeId id) const {
    const NodeId p = parents_[id];
    return p == kNoNode ? int32_t(levels_[id]) : int32_t(levels_[id]) - int32_t(levels_[p]);
}

std::vector<NodeId> MorphologicalTree::parentlessAtConstruction() const {
    // A non-empty adjacency joins the whole image under the root; an empty
    // one leaves every node without parent and no child lists at all.
    if (!childIds_.empty()) return {rootId_};
    std::vector<NodeId> all(numNodes());
    std::iota(all.begin(), all.end(), NodeId(0));
    return all;
}

namespace {

// Subtree of id through the children lists as built (always acyclic).
template <typename Visit>
void forEachInSubtree(const MorphologicalTree& tree, NodeId id, Visit&& visit) {
    std::vector<NodeId> stack{id};
    InterruptPoll poll;
    while (!stack.empty()) {
        poll.step();
        const NodeId n = stack.back();
        stack.pop_back();
        visit(n);
        for (NodeId c : tree.children(n)) stack.push_back(c);
    }
}

}  // namespace

uint64_t MorphologicalTree::componentSize(NodeId id) const {
    uint64_t size = 0;
    forEachInSubtree(*this, id, [&](NodeId n) { size += cnps(n).size(); });
    return size;
}

std::vector<uint32_t> MorphologicalTree::pixelsOfCC(NodeId id) const {
    // Group the subtree's nodes by level, last processed level first; within a
    // level the pixels come by descending index.
    std::array<std::vector<NodeId>, 256> byRank;
    size_t total = 0;
    forEachInSubtree(*this, id, [&](NodeId n) {
        byRank[levelRank_[levels_[n]]].push_back(n);
        total += cnps(n).size();
    });
    std::vector<uint32_t> pixels;
    pixels.reserve(total);
    InterruptPoll poll;
    for (int r = 255; r >= 0; --r) {
        const std::vector<NodeId>& group = byRank[r];
        const size_t begin = pixels.size();
        for (NodeId n : group) {
            const Span<uint32_t> c = cnps(n);
            pixels.insert(pixels.end(), c.begin(), c.end());
            poll.step(uint32_t(c.size()) + 1);
        }
        if (group.size() > 1) std::sort(pixels.begin() + begin, pixels.end(), std::greater<uint32_t>());
    }
    return pixels;
}

Node& MorphologicalTree::node(NodeId id) {
    if (nodeHandles_.empty()) nodeHandles_.resize((numNodes() + kHandleChunk - 1) / kHandleChunk);
    std::unique_ptr<Node[]>& chunk = nodeHandles_[id / kHandleChunk];
    if (!chunk) {
        const NodeId first = id - id % kHandleChunk;
        const NodeId count = NodeId(std::min<size_t>(kHandleChunk, numNodes() - first));
        chunk.reset(new Node[count]);
        for (NodeId i = 0; i < count; ++i) chunk[i] = Node(this, first + i);
    }
    return chunk[id % kHandleChunk];
}

}  // namespace vexa
