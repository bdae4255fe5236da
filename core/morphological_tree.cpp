#include "core/morphological_tree.hpp"

#include <malloc.h>

#include <algorithm>
#include <numeric>

#include "core/adjacency.hpp"
#include "core/node.hpp"

namespace vexa {

namespace {

constexpr uint32_t kUnseen = 0xFFFFFFFFu;

// Root of q's union-find set, compressing the path behind it (iteratively:
// paths can be as long as the image).
inline uint32_t findRoot(std::vector<uint32_t>& unionRoot, uint32_t q) {
    uint32_t r = q;
    while (unionRoot[r] != r) r = unionRoot[r];
    while (unionRoot[q] != r) {
        const uint32_t next = unionRoot[q];
        unionRoot[q] = r;
        q = next;
    }
    return r;
}

// Exclusive prefix sums in place: counts[i + 1] holds the count of i on entry,
// counts[i] the start of i on return.
void countsToOffsets(std::vector<uint32_t>& offsets) {
    offsets[0] = 0;
    std::partial_sum(offsets.begin(), offsets.end(), offsets.begin());
}

// Fast row of a linear index: division by an invariant width through a
// double reciprocal, corrected by one step either way.
struct RowDivider {
    uint32_t width;
    double inverse;
    explicit RowDivider(uint32_t w) : width(w), inverse(w ? 1.0 / w : 0.0) {}
    uint32_t operator()(uint32_t p) const {
        uint64_t q = uint64_t(double(p) * inverse);
        if (q * width > p) --q;
        else if ((q + 1) * width <= p) ++q;
        return uint32_t(q);
    }
};

}  // namespace

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
    const uint8_t* level = image.data;
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

    // Counting sort by level rank; a stable pass keeps ascending index within a level.
    std::vector<uint32_t> order(n);
    {
        std::array<uint64_t, 257> start{};
        for (uint32_t i = 0; i < n; ++i) ++start[levelRank_[level[i]] + 1];
        std::partial_sum(start.begin(), start.end(), start.begin());
        std::array<uint32_t, 256> next;
        for (int lv = 0; lv < 256; ++lv) next[lv] = uint32_t(start[levelRank_[lv]]);
        for (uint32_t i = 0; i < n; ++i) order[next[level[i]]++] = i;
    }

    // Union pass: each pixel becomes the root of every set it touches.
    std::vector<uint32_t> parentPixel(n);
    std::vector<uint32_t> unionRoot(n, kUnseen);
    const std::vector<Offset> offsets = adjacencyOffsets(adjacencyRadius_, width - 1, height - 1);
    const uint64_t fullSquare = (2 * uint64_t(width) - 1) * (2 * uint64_t(height) - 1) - 1;
    const RowDivider rowOf(width);
    auto unite = [&](uint32_t p, uint32_t q) {
        if (unionRoot[q] == kUnseen) return;
        const uint32_t r = findRoot(unionRoot, q);
        if (r != p) {
            parentPixel[r] = p;
            unionRoot[r] = p;
        }
    };
    if (!offsets.empty() && offsets.size() == fullSquare) {
        // Every pixel is adjacent to every other, so all processed pixels form
        // one set: joining the previous one is joining them all.
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t p = order[k];
            parentPixel[p] = p;
            unionRoot[p] = p;
            if (k > 0) unite(p, order[k - 1]);
        }
    } else {
        int32_t reachX = 0, reachY = 0;
        std::vector<int64_t> steps;
        steps.reserve(offsets.size());
        for (const Offset& o : offsets) {
            reachX = std::max(reachX, std::abs(o.dx));
            reachY = std::max(reachY, std::abs(o.dy));
            steps.push_back(int64_t(o.dy) * width + o.dx);
        }
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t p = order[k];
            parentPixel[p] = p;
            unionRoot[p] = p;
            const uint32_t y = rowOf(p), x = p - y * width;
            const bool inner = x >= uint32_t(reachX) && uint64_t(x) + reachX < width &&
                               y >= uint32_t(reachY) && uint64_t(y) + reachY < height;
            if (inner) {
                for (int64_t step : steps) unite(p, uint32_t(int64_t(p) + step));
            } else {
                forEachNeighbour(offsets, x, y, width, height, [&](uint32_t q) { unite(p, q); });
            }
        }
    }

    // Canonical parents, from the last processed pixel back; count the nodes.
    size_t numNodes = 0;
    for (uint32_t k = n; k-- > 0;) {
        const uint32_t p = order[k];
        const uint32_t q = parentPixel[p];
        if (level[q] == level[parentPixel[q]]) parentPixel[p] = parentPixel[q];
        if (parentPixel[p] == p || level[parentPixel[p]] != level[p]) ++numNodes;
    }

    // Nodes, numbered in reverse processing order of their canonical pixels.
    levels_.resize(numNodes);
    parents_.resize(numNodes);
    nodeResidues_.resize(numNodes);
    boxes_.resize(numNodes);
    childOffsets_.assign(numNodes + 1, 0);
    cnpOffsets_.assign(numNodes + 1, 0);
    std::vector<uint32_t>& nodeOf = unionRoot;  // no longer needed as union-find
    NodeId nextId = 0;
    for (uint32_t k = n; k-- > 0;) {
        const uint32_t p = order[k];
        const uint32_t q = parentPixel[p];
        const uint32_t row = rowOf(p), col = p - row * width;
        NodeId id;
        if (p == q || level[p] != level[q]) {
            id = nextId++;
            const NodeId parent = p == q ? kNoNode : nodeOf[q];
            levels_[id] = level[p];
            parents_[id] = parent;
            boxes_[id] = Box{row, col, row, col};
            if (parent == kNoNode) {
                nodeResidues_[id] = float(level[p]);
                rootId_ = id;
            } else {
                nodeResidues_[id] = float(int32_t(level[p]) - int32_t(level[q]));
                ++childOffsets_[parent + 1];
            }
        } else {
            id = nodeOf[q];
            Box& b = boxes_[id];
            b.top = std::min(b.top, row);
            b.left = std::min(b.left, col);
            b.bottom = std::max(b.bottom, row);
            b.right = std::max(b.right, col);
        }
        nodeOf[p] = id;
        ++cnpOffsets_[id + 1];
    }

    // Compact pixels grouped by node, each group in reverse processing order.
    countsToOffsets(cnpOffsets_);
    cnpPixels_ = std::move(parentPixel);
    {
        std::vector<uint32_t> cursor(cnpOffsets_.begin(), cnpOffsets_.end() - 1);
        for (uint32_t k = n; k-- > 0;) {
            const uint32_t p = order[k];
            cnpPixels_[cursor[nodeOf[p]]++] = p;
        }
    }
    pixelToNodeId_ = std::move(nodeOf);
    std::vector<uint32_t>().swap(order);

    // Children in ascending id.
    countsToOffsets(childOffsets_);
    childIds_.resize(childOffsets_.back());
    std::vector<uint32_t> cursor(childOffsets_.begin(), childOffsets_.end() - 1);
    for (NodeId c = 0; c < numNodes; ++c)
        if (parents_[c] != kNoNode) childIds_[cursor[parents_[c]]++] = c;
}

int32_t MorphologicalTree::residue(NodeId id) const {
    const NodeId p = parents_[id];
    return p == kNoNode ? int32_t(levels_[id]) : int32_t(levels_[id]) - int32_t(levels_[p]);
}

std::vector<NodeId> MorphologicalTree::parentlessAtConstruction() const {
    std::vector<bool> isChild(numNodes(), false);
    for (NodeId c : childIds_) isChild[c] = true;
    std::vector<NodeId> result;
    for (NodeId id = 0; id < numNodes(); ++id)
        if (!isChild[id]) result.push_back(id);
    return result;
}

namespace {

// Subtree of id through the children lists as built (always acyclic).
template <typename Visit>
void forEachInSubtree(const MorphologicalTree& tree, NodeId id, Visit&& visit) {
    std::vector<NodeId> stack{id};
    while (!stack.empty()) {
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
    for (int r = 255; r >= 0; --r) {
        const std::vector<NodeId>& group = byRank[r];
        const size_t begin = pixels.size();
        for (NodeId n : group) {
            const Span<uint32_t> c = cnps(n);
            pixels.insert(pixels.end(), c.begin(), c.end());
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
