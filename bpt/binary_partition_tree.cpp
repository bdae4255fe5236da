#include "bpt/binary_partition_tree.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "bpt/edge_queue.hpp"
#include "bpt/pair_set.hpp"
#include "core/runtime/interrupt.hpp"

namespace vexa {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// Calls visit(row, begin, end, label) for every run of equal labels within a
// row, in row-major order; runs cut the per-pixel work of the leaf passes.
template <typename Visit>
void forEachRowRun(const LabelView& labels, Visit visit) {
    for (uint32_t y = 0; y < labels.numRows; ++y) {
        const uint32_t* row = labels.data + uint64_t(y) * labels.numCols;
        uint32_t x = 0;
        while (x < labels.numCols) {
            const uint32_t label = row[x];
            uint32_t end = x + 1;
            while (end < labels.numCols && row[end] == label) ++end;
            visit(y, x, end, label);
            x = end;
        }
    }
}

}  // namespace

// What the merge loop reads over and over, by node index, in compact arrays
// rather than scattered over the nodes; the nodes get their final values as
// they are made and merged.
struct BinaryPartitionTree::MergeState {
    explicit MergeState(size_t capacity)
        : active(capacity, 1), metric(capacity), size(capacity), lastRecordedBy(capacity, kNone) {}

    EdgeQueue queue;
    std::vector<uint8_t> active;
    std::vector<float> metric;
    std::vector<uint32_t> size;
    // lastRecordedBy[r] == m: r is already in the neighbour list of new node m.
    std::vector<uint32_t> lastRecordedBy;
};

BinaryPartitionTree::BinaryPartitionTree(const ImageView& image, const LabelView& labels, DissimilarityType type)
    : type_(type), processor_(makeDissimilarityProcessor(type)) {
    if (image.numRows != labels.numRows || image.numCols != labels.numCols)
        throw std::runtime_error(kShapeMismatchMessage);
    if (labels.numPixels() == 0) throw std::runtime_error(kEmptyImageMessage);
    checkImageSize(labels.numRows, labels.numCols);
    numRows_ = labels.numRows;
    numCols_ = labels.numCols;
    image_.assign(image.data, image.data + labels.numPixels());

    const LabelIndex index(labels);
    const uint64_t numLeaves = index.size();
    // Merged ids run up to the largest label + (leaves - 1) and must not wrap.
    if (uint64_t(index.maxLabel()) + numLeaves - 1 > 0xFFFFFFFFull) throw std::runtime_error(kLabelRangeMessage);

    // L leaves make at most L - 1 merges.
    nodes_.reserve(2 * numLeaves - 1);
    neighbors_.resize(2 * numLeaves - 1);
    makeLeaves(labels, index);
    MergeState state(nodes_.capacity());
    computeLeafMetrics(image.data, state);
    findAdjacencies(labels, index, state);
    mergeRegions(state);
}

BinaryPartitionTree::~BinaryPartitionTree() = default;

std::vector<NodeBPT*> BinaryPartitionTree::nodes() {
    std::vector<NodeBPT*> all;
    all.reserve(nodes_.size());
    for (NodeBPT& node : nodes_) all.push_back(&node);
    return all;
}

Span<uint32_t> BinaryPartitionTree::leafPixels(const NodeBPT& leaf) const {
    const size_t k = indexOf(leaf);
    return {leafPixels_.data() + leafStart_[k], size_t(leafStart_[k + 1] - leafStart_[k])};
}

std::vector<NodeBPT*> BinaryPartitionTree::neighbors(const NodeBPT& node) const {
    const std::vector<uint32_t>& list = neighbors_[indexOf(node)];
    std::vector<NodeBPT*> result;
    result.reserve(list.size());
    for (uint32_t k : list) result.push_back(const_cast<NodeBPT*>(&nodes_[k]));
    return result;
}

void BinaryPartitionTree::makeLeaves(const LabelView& labels, const LabelIndex& index) {
    const uint32_t numLeaves = index.size();
    for (uint32_t k = 0; k < numLeaves; ++k) {
        NodeBPT leaf;
        leaf.id_ = index.label(k);
        leaf.tree_ = this;
        leaf.top_ = leaf.left_ = std::numeric_limits<uint32_t>::max();
        nodes_.push_back(std::move(leaf));
    }

    // Sizes and boxes, then the pixels grouped by leaf in increasing order.
    leafStart_.assign(size_t(numLeaves) + 1, 0);
    forEachRowRun(labels, [&](uint32_t y, uint32_t x, uint32_t end, uint32_t label) {
        const uint32_t k = index(label);
        NodeBPT& leaf = nodes_[k];
        leaf.top_ = std::min(leaf.top_, y);
        leaf.bottom_ = y;
        leaf.left_ = std::min(leaf.left_, x);
        leaf.right_ = std::max(leaf.right_, end - 1);
        leafStart_[k + 1] += end - x;
    });
    for (uint32_t k = 0; k < numLeaves; ++k) {
        nodes_[k].numPixels_ = leafStart_[k + 1];
        leafStart_[k + 1] += leafStart_[k];
    }
    leafPixels_.resize(labels.numPixels());
    std::vector<uint32_t> cursor(leafStart_.begin(), leafStart_.end() - 1);
    forEachRowRun(labels, [&](uint32_t y, uint32_t x, uint32_t end, uint32_t label) {
        uint32_t* out = leafPixels_.data() + cursor[index(label)];
        const uint32_t first = y * numCols_ + x;
        for (uint32_t i = 0; i < end - x; ++i) out[i] = first + i;
        cursor[index(label)] += end - x;
    });
}

void BinaryPartitionTree::computeLeafMetrics(const uint8_t* image, MergeState& state) {
    for (size_t k = 0; k < nodes_.size(); ++k) {
        nodes_[k].metric_ = state.metric[k] = processor_->computeMetric(image, leafPixels(nodes_[k]));
        state.size[k] = uint32_t(nodes_[k].numPixels_);
    }
}

void BinaryPartitionTree::findAdjacencies(const LabelView& labels, const LabelIndex& index, MergeState& state) {
    // Is a pair already recorded? The shorter of the two neighbour lists
    // answers: along the scan, the lists of the regions at hand stay in
    // cache. Only when both lists are long does a set of pairs answer; it
    // holds every pair of each region whose list has grown past kLongList.
    constexpr size_t kLongList = 16;
    PairSet longPairs;
    auto known = [&](uint32_t p, uint32_t q) {
        const std::vector<uint32_t>& lp = neighbors_[p];
        const std::vector<uint32_t>& lq = neighbors_[q];
        if (lp.size() <= kLongList || lq.size() <= kLongList) {
            const std::vector<uint32_t>& shorter = lp.size() <= lq.size() ? lp : lq;
            const uint32_t other = lp.size() <= lq.size() ? q : p;
            return std::find(shorter.begin(), shorter.end(), other) != shorter.end();
        }
        return !longPairs.insert(std::min(p, q), std::max(p, q));
    };
    auto append = [&](uint32_t p, uint32_t q) {
        std::vector<uint32_t>& list = neighbors_[p];
        list.push_back(q);
        if (list.size() == kLongList + 1)
            for (uint32_t r : list) longPairs.insert(std::min(p, r), std::max(p, r));
        else if (list.size() > kLongList + 1) longPairs.insert(std::min(p, q), std::max(p, q));
    };

    // The pair last met through each offset: a border along a row meets the
    // same pair pixel after pixel, and needs no look-up.
    uint64_t lastMet[4] = {~0ull, ~0ull, ~0ull, ~0ull};

    // Every 8-adjacent pair of distinct labels counts, whichever end carries
    // the larger label; each new pair is recorded both ways and queued once.
    auto meet = [&](uint32_t a, uint32_t b, int offset) {
        const uint64_t key = uint64_t(std::min(a, b)) << 32 | std::max(a, b);
        if (key == lastMet[offset]) return;
        lastMet[offset] = key;
        const uint32_t p = index(std::min(a, b)), q = index(std::max(a, b));
        if (known(p, q)) return;
        append(p, q);
        append(q, p);
        state.queue.push({processor_->dissimilarity(state.metric[p], state.metric[q]), p, q});
    };

    // Forward half of the 8-neighbourhood, in this order: (dx, dy) = (1, -1),
    // (1, 0), (0, 1), (1, 1); each pixel pair is met once.
    const uint32_t rows = numRows_, cols = numCols_;
    InterruptPoll poll;
    for (uint32_t y = 0; y < rows; ++y) {
        poll.step(cols);
        const uint32_t* cur = labels.data + uint64_t(y) * cols;
        const uint32_t* up = y > 0 ? cur - cols : nullptr;
        const uint32_t* down = y + 1 < rows ? cur + cols : nullptr;
        for (uint32_t x = 0; x < cols; ++x) {
            const uint32_t a = cur[x];
            const bool hasRight = x + 1 < cols;
            if (up && hasRight && up[x + 1] != a) meet(a, up[x + 1], 0);
            if (hasRight && cur[x + 1] != a) meet(a, cur[x + 1], 1);
            if (down) {
                if (down[x] != a) meet(a, down[x], 2);
                if (hasRight && down[x + 1] != a) meet(a, down[x + 1], 3);
            }
        }
    }

    // A leaf that touches no other region never has its metric asked for.
    for (size_t k = 0; k < index.size(); ++k)
        if (neighbors_[k].empty()) nodes_[k].metric_ = std::numeric_limits<float>::quiet_NaN();
}

void BinaryPartitionTree::mergeRegions(MergeState& state) {
    uint32_t lastId = nodes_.back().id_;
    InterruptPoll poll;
    while (!state.queue.empty()) {
        poll.step();
        const Edge edge = state.queue.pop();
        const uint32_t a = edge.first, b = edge.second;
        // Edges of regions merged since they were queued are dropped here.
        if (!state.active[a] || !state.active[b]) continue;

        const uint32_t merged = uint32_t(nodes_.size());
        const float metric = processor_->mergeMetric(state.metric[a], state.size[a], state.metric[b], state.size[b]);
        state.metric[merged] = metric;
        state.size[merged] = state.size[a] + state.size[b];
        state.active[a] = state.active[b] = 0;

        NodeBPT& first = nodes_[a];
        NodeBPT& second = nodes_[b];
        nodes_.push_back(NodeBPT(0, first, second, metric));  // within the reserve: nothing moves
        NodeBPT& node = nodes_.back();
        node.id_ = ++lastId;
        node.tree_ = this;
        first.parent_ = second.parent_ = &node;
        first.active_ = second.active_ = false;
        // The new node's list holds at most the children's active neighbours:
        // one allocation instead of a run of growing ones.
        size_t bound = 0;
        for (uint32_t r : neighbors_[a]) bound += state.active[r];
        for (uint32_t r : neighbors_[b]) bound += state.active[r];
        poll.step(uint32_t(std::min<size_t>(neighbors_[a].size() + neighbors_[b].size(), 1u << 20)));
        neighbors_[merged].reserve(bound);
        updateNeighbors(a, b, merged, state);
        updateNeighbors(b, a, merged, state);
    }

    // Regions still active keep only active neighbours.
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!state.active[k]) continue;
        std::vector<uint32_t>& list = neighbors_[k];
        list.erase(std::remove_if(list.begin(), list.end(), [&](uint32_t r) { return !state.active[r]; }), list.end());
    }
}

// Hands the active neighbours of a merged child over to the new node, in the
// child's list order, queueing one edge per region new to the node. The
// child's list is cut down to what it held at the merge: its active
// neighbours and its sibling. Entries of regions merged earlier are the
// lazily erased ones.
void BinaryPartitionTree::updateNeighbors(uint32_t child, uint32_t sibling, uint32_t merged, MergeState& state) {
    std::vector<uint32_t>& list = neighbors_[child];
    const float metric = state.metric[merged];
    size_t kept = 0;
    for (size_t j = 0; j < list.size(); ++j) {
        const uint32_t r = list[j];
        if (!state.active[r]) {
            if (r == sibling) list[kept++] = r;
            continue;
        }
        list[kept++] = r;
        if (state.lastRecordedBy[r] == merged) continue;
        state.lastRecordedBy[r] = merged;
        neighbors_[merged].push_back(r);
        neighbors_[r].push_back(merged);
        state.queue.push({processor_->dissimilarity(metric, state.metric[r]), merged, r});
    }
    list.resize(kept);
}

}  // namespace vexa
