#include "attributes/compute_attributes.hpp"

#include <algorithm>
#include <vector>

#include "attributes/attribute_processors.hpp"
#include "core/runtime/interrupt.hpp"

namespace vexa {

namespace {

void widen(Box& parent, const Box& child) {
    parent.top = std::min(parent.top, child.top);
    parent.left = std::min(parent.left, child.left);
    parent.bottom = std::max(parent.bottom, child.bottom);
    parent.right = std::max(parent.right, child.right);
}

// The step that closes a finished child inside its parent's visit.
void finishChild(MorphologicalTree& tree, const ProcessorList& processors, NodeId child, AttributeMatrix& m) {
    const NodeId parent = tree.parent(child);
    if (parent == kNoNode) return;
    widen(tree.box(parent), tree.box(child));
    for (const auto& p : processors) p->mergeChild(tree, child, m);
}

}  // namespace

void computeAttributes(MorphologicalTree& tree, NodeId start, AttributeMatrix& m) {
    const ProcessorList& processors = attributeProcessors();
    // Explicit stack: the built children lists are acyclic, but a forest of
    // any depth must not exhaust the call stack.
    struct Frame {
        NodeId node;
        size_t nextChild;
    };
    std::vector<Frame> stack;
    auto enter = [&](NodeId node) {
        for (const auto& p : processors) p->preProcessing(tree, node, m);
        stack.push_back({node, 0});
    };
    InterruptPoll poll;
    enter(start);
    while (!stack.empty()) {
        poll.step();
        const NodeId node = stack.back().node;
        const Span<NodeId> children = tree.children(node);
        const size_t next = stack.back().nextChild;
        if (next < children.size()) {
            ++stack.back().nextChild;
            enter(children[next]);
            continue;
        }
        for (const auto& p : processors) p->postProcessing(tree, node, m);
        stack.pop_back();
        if (!stack.empty()) finishChild(tree, processors, node, m);
    }
}

void computeAttributesBySweep(MorphologicalTree& tree, AttributeMatrix& m) {
    const NodeId n = NodeId(tree.numNodes());
    // The processors' arithmetic, fused: with links as built, every parent
    // has a smaller id, so a backward sweep finishes each node after all its
    // children. Areas and volumes are whole numbers well below 2^53, so
    // merging children in another order gives the same doubles.
    //
    // The sweep can be interrupted, and must then leave the tree as it was:
    // boxes are widened in a copy, written back only once every node is done.
    if (n > 0) m.at(n - 1, NUM_ATTRIBUTES - 1);  // every row the sweep writes is in range
    double* rows = m.data();
    const uint64_t cols = m.numCols();
    std::vector<Box> boxes;
    boxes.reserve(n);
    InterruptPoll poll;
    for (NodeId id = 0; id < n; ++id) {
        poll.step();
        AllAttributes::enter(tree, id, PlainRow{rows + id * cols});
        boxes.push_back(tree.box(id));
    }
    // Parents lie anywhere in the table: ask for their row and box a few
    // nodes ahead, so that the merges do not wait on memory one at a time.
    constexpr NodeId kAhead = 16;
    for (NodeId id = n; id-- > 0;) {
        poll.step();
        if (id >= kAhead) {
            const NodeId ahead = tree.parent(id - kAhead);
            if (ahead != kNoNode) {
                __builtin_prefetch(&boxes[ahead], 1);
                __builtin_prefetch(rows + ahead * cols, 1);
            }
        }
        const PlainRow row{rows + id * cols};
        const Box& box = boxes[id];
        AllAttributes::finish(box, row);
        const NodeId parent = tree.parent(id);
        if (parent == kNoNode) continue;
        widen(boxes[parent], box);
        AllAttributes::merge(row, PlainRow{rows + parent * cols});
    }
    for (NodeId id = 0; id < n; ++id) tree.box(id) = boxes[id];
}

void computeTreeAttributes(MorphologicalTree& tree, AttributeMatrix& m) {
    if (!tree.parentLinksRewritten()) {
        computeAttributesBySweep(tree, m);
        return;
    }
    // The descent widens boxes as it goes: on any failure, the tree gets its
    // boxes back as they were.
    std::vector<Box> before;
    before.reserve(tree.numNodes());
    for (NodeId id = 0; id < tree.numNodes(); ++id) before.push_back(tree.box(id));
    try {
        for (NodeId start : tree.parentlessAtConstruction()) computeAttributes(tree, start, m);
    } catch (...) {
        for (NodeId id = 0; id < tree.numNodes(); ++id) tree.box(id) = before[id];
        throw;
    }
}

}  // namespace vexa
