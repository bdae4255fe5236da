#include "core/trees/morphological_tree.hpp"

#include <malloc.h>

#include <algorithm>
#include <numeric>

#include "core/geometry/adjacency.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/trees/component_forest.hpp"
#include "core/trees/node.hpp"
#include "core/trees/node_numbering.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

MorphologicalTree::MorphologicalTree(const ImageView& image, float radius, LevelComparator comparator, unsigned bands)
    : numRows_(image.numRows), numCols_(image.numCols), adjacencyRadius_(radius) {
    checkImageSize(image.numRows, image.numCols);
    build(image, comparator, bands);
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
    ReusedVector<uint32_t>().swap(cnpPixels_);
    ReusedVector<uint32_t>().swap(pixelToNodeId_);
    jacobianCache = JacobianIndexCache();
    // Large trees release hundreds of megabytes: hand them back to the system.
    malloc_trim(0);
}

void MorphologicalTree::build(const ImageView& image, LevelComparator comparator, unsigned bands) {
    const uint32_t width = numCols_, height = numRows_;
    const uint32_t n = uint32_t(image.numPixels());

    // Processing order of the levels.
    std::array<uint8_t, 256> levelAtRank;
    std::iota(levelAtRank.begin(), levelAtRank.end(), 0);
    std::sort(levelAtRank.begin(), levelAtRank.end(), [&](uint8_t a, uint8_t b) { return comparator(a, b); });
    for (int r = 0; r < 256; ++r) levelRank_[levelAtRank[r]] = uint8_t(r);

    childOffsets_.assign(1, 0);
    cnpOffsets_.assign(1, 0);
    if (n == 0) return;

    const std::vector<GridOffset> offsets = adjacencyOffsets(adjacencyRadius_, width - 1, height - 1);
    const uint64_t fullSquare = (2 * uint64_t(width) - 1) * (2 * uint64_t(height) - 1) - 1;
    const Grid grid{1, height, width};
    const uint32_t reach = reachOf(grid, offsets);
    const BuildPlan plan = bands == 0 ? automaticPlan(grid, reach) : plannedBands(grid, reach, bands);
    ComponentForest forest = offsets.empty() ? isolatedComponents(image.data, n, levelRank_)
                             : offsets.size() == fullSquare
                                 ? levelComponents(image.data, n, levelRank_)
                                 : floodComponents(image.data, grid, levelRank_, offsets, plan);
    assignIds(forest, levelAtRank, plan.threads);
}

void MorphologicalTree::assignIds(ComponentForest& forest, const std::array<uint8_t, 256>& levelAtRank,
                                  unsigned threads) {
    const NodeNumbering numbering = numberNodes(forest, 256, threads);
    const NodeId numNodes = numbering.numNodes;
    levels_.resize(numNodes);
    for (int r = 0; r < 256; ++r)
        std::fill(levels_.begin() + numbering.firstId[r], levels_.begin() + numbering.endOfRank(r), levelAtRank[r]);

    parents_.resize(numNodes);
    cnpOffsets_.assign(numNodes + 1, 0);
    forEachNode(forest, numbering, threads, [&](uint32_t c, NodeId id, NodeId parent) {
        parents_[id] = parent;
        cnpOffsets_[id + 1] = forest.components[c].size;
    });
    // Nodes spread over several bands: their other bands' compact pixels.
    const SpreadNodes spread = spreadNodes(forest, numbering);
    for (size_t i = 0; i < spread.ids.size(); ++i) {
        uint32_t total = 0;
        for (size_t b = 0; b < forest.bands.size(); ++b) total += spread.counts[i * forest.bands.size() + b];
        cnpOffsets_[spread.ids[i] + 1] = total;
    }
    std::vector<std::pair<uint64_t, uint64_t>> pixelBands;
    for (const auto& band : forest.bands) pixelBands.push_back({band.firstPixel, band.endPixel});
    decltype(forest.components)().swap(forest.components);
    decltype(forest.ranks)().swap(forest.ranks);
    decltype(forest.alias)().swap(forest.alias);
    countsToOffsets(cnpOffsets_);

    // Each writes arrays the other does not touch.
    // The pixel pass runs per band, the node pass as one more task beside them.
    fillCompactPixels(forest.componentOf, pixelBands, spread, threads, [&] { fillResiduesAndChildren(); });
    pixelToNodeId_ = std::move(forest.componentOf);
}

void MorphologicalTree::fillCompactPixels(const ReusedVector<uint32_t>& pixelNode,
                                          const std::vector<std::pair<uint64_t, uint64_t>>& bands,
                                          const SpreadNodes& spread, unsigned threads,
                                          const std::function<void()>& alongside) {
    // Compact pixels grouped by node, each group by descending index, and
    // the box of each node's compact pixels. Bands of whole rows fill their
    // own nodes' groups in parallel; a node spread over several bands gets
    // a cursor and a box per band, its later bands' pixels first.
    const uint32_t n = uint32_t(pixelNode.size());
    const size_t k = bands.size(), numSpread = spread.ids.size();
    cnpPixels_.resize(n);
    constexpr Box kEmpty{0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
    boxes_.assign(levels_.size(), kEmpty);
    std::vector<uint32_t> cursor(cnpOffsets_.begin(), cnpOffsets_.end() - 1);
    std::vector<uint64_t> isSpread((levels_.size() + 63) / 64, 0);
    // Index of each spread node among them; touched only at their ids.
    std::unique_ptr<uint32_t[]> spreadIndex(numSpread ? new uint32_t[levels_.size()] : nullptr);
    std::vector<uint32_t> spreadCursor(numSpread * k);
    std::vector<Box> spreadBox(numSpread * k, kEmpty);
    for (size_t i = 0; i < numSpread; ++i) {
        isSpread[spread.ids[i] >> 6] |= uint64_t(1) << (spread.ids[i] & 63);
        spreadIndex[spread.ids[i]] = uint32_t(i);
        uint32_t at = cnpOffsets_[spread.ids[i]];
        for (size_t b = k; b-- > 0;) {
            spreadCursor[i * k + b] = at;
            at += spread.counts[i * k + b];
        }
    }
    auto grow = [](Box& b, uint32_t row, uint32_t col) {
        b.top = std::min(b.top, row);
        b.left = std::min(b.left, col);
        b.bottom = std::max(b.bottom, row);
        b.right = std::max(b.right, col);
    };
    parallelFor(k + 1, threads, [&](size_t task) {
        if (task == 0) return alongside();
        const size_t band = task - 1;
        const uint32_t rowBegin = uint32_t(bands[band].first / numCols_),
                       rowEnd = uint32_t(bands[band].second / numCols_);
        uint32_t p = uint32_t(bands[band].second);
        for (uint32_t row = rowEnd; row-- > rowBegin;) {
            for (uint32_t col = numCols_; col-- > 0;) {
                const NodeId id = pixelNode[--p];
                if (isSpread[id >> 6] >> (id & 63) & 1) {
                    const size_t i = spreadIndex[id];
                    cnpPixels_[spreadCursor[i * k + band]++] = p;
                    grow(spreadBox[i * k + band], row, col);
                } else {
                    cnpPixels_[cursor[id]++] = p;
                    grow(boxes_[id], row, col);
                }
            }
        }
    });
    for (size_t i = 0; i < numSpread; ++i) {
        Box& b = boxes_[spread.ids[i]];
        for (size_t band = 0; band < k; ++band) {
            const Box& part = spreadBox[i * k + band];
            if (part.top == kEmpty.top) continue;
            grow(b, part.top, part.left);
            grow(b, part.bottom, part.right);
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
