#include "bpt/fast_partition_tree.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "bpt/candidate_queue.hpp"
#include "bpt/label_index.hpp"
#include "core/runtime/interrupt.hpp"

namespace vexa {

namespace {

constexpr uint32_t kNone = RegionGraph::kNone;

void checkInput(const PartitionInput& in) {
    if (in.ndim != 2 && in.ndim != 3)
        throw std::invalid_argument("the grid must have 2 or 3 dimensions, got " + std::to_string(in.ndim));
    const uint64_t n = in.grid.numPixels();
    if (n == 0) throw std::invalid_argument("the image has no pixel");
    if (n >= (uint64_t(1) << 31))
        throw std::invalid_argument("the image has " + std::to_string(n) + " pixels; at most 2^31 - 1 are supported");
    if (in.connectivity < 1 || in.connectivity > in.ndim)
        throw std::invalid_argument("connectivity must be between 1 and " + std::to_string(in.ndim) +
                                    ", got " + std::to_string(in.connectivity));
    if (in.channels == 0 || !in.values) throw std::invalid_argument("the image has no channel");
    InterruptPoll poll;
    const uint64_t count = n * in.channels;
    for (uint64_t i = 0; i < count; ++i) {
        poll.step();
        if (!std::isfinite(in.values[i]))
            throw std::invalid_argument("image values must be finite; pixel " + std::to_string(i / in.channels) +
                                        " holds " + std::to_string(in.values[i]));
    }
}

// The regions being merged. A region lives in the slot of one of its
// leaves (union-find over leaves); its node position, size, sums and
// adjacency list are kept by slot.
class Merger {
public:
    Merger(const PartitionInput& in, LeafGraph& leafGraph, uint32_t numLeaves, const uint32_t* leafOf,
           PartitionTree& out)
        : in_(in), channels_(in.channels), out_(out), graph_(leafGraph.graph), border_(leafGraph.border),
          slots_(numLeaves), sum_(uint64_t(numLeaves) * in.channels, 0.0) {
        for (uint32_t k = 0; k < numLeaves; ++k) slots_[k] = {k, k, kNone, 0, 0.0};
        const uint64_t n = in.grid.numPixels();
        for (uint64_t p = 0; p < n; ++p) {
            const uint32_t leaf = leafOf ? leafOf[p] : uint32_t(p);
            slots_[leaf].size += 1.0;
            for (uint32_t c = 0; c < channels_; ++c) sum_[uint64_t(leaf) * channels_ + c] += in.values[p * channels_ + c];
        }
        slotOfNode_.resize(out_.parents.size());
        for (uint32_t k = 0; k < numLeaves; ++k) slotOfNode_[k] = k;
    }

    void run() {
        queueLeafAdjacencies();
        uint32_t nextNode = uint32_t(slots_.size());
        InterruptPoll poll;
        while (!queue_.empty()) {
            const Candidate queued = queue_.pop();
            if (!graph_.alive(queued.edge) || queued.stamp != stamp_[queued.edge]) continue;
            // A queued key is at most the edge's current key: equal, it is the
            // least merge of all; below, the edge goes back with its key.
            const Candidate best = current(queued.edge);
            if (best.weight != queued.weight || best.low != queued.low || best.high != queued.high) {
                enqueue(best);
                continue;
            }
            const uint32_t degree = merge(best, nextNode++);
            poll.step(degree + 1);
            if (queue_.size() > 2 * live_ + 4096) dropStaleCandidates();
        }
    }

private:
    uint32_t find(uint32_t slot) {
        while (slots_[slot].parent != slot) slot = slots_[slot].parent = slots_[slots_[slot].parent].parent;
        return slot;
    }

    double weight(uint32_t edge, uint32_t a, uint32_t b) const {
        const double w = usesBorderWeights(in_.linkage)
                             ? border_[edge].dissimilarity(in_.linkage)
                             : regionDissimilarity(in_.linkage, slots_[a].size, &sum_[uint64_t(a) * channels_],
                                                   slots_[b].size, &sum_[uint64_t(b) * channels_], channels_);
        return std::isnan(w) ? HUGE_VAL : w;  // overflowing sums order last, not at random
    }

    // The merge of the edge's two regions as it stands.
    Candidate current(uint32_t edge) {
        const uint32_t a = find(graph_.farOrigin(2 * edge + 1)), b = find(graph_.farOrigin(2 * edge));
        const uint32_t na = slots_[a].node, nb = slots_[b].node;
        return {weight(edge, a, b), std::min(na, nb), std::max(na, nb), edge, 0};
    }

    // Queues the edge's latest candidate; earlier ones go stale.
    void enqueue(Candidate c) {
        c.stamp = ++stamp_[c.edge];
        queued_[c.edge] = c.weight;
        queue_.push(c);
    }

    void queueLeafAdjacencies() {
        const uint32_t edges = graph_.numEdges();
        queue_.reserve(edges);
        stamp_.assign(edges, 0);
        queued_.assign(edges, 0.0);
        for (uint32_t e = 0; e < edges; ++e)
            if (graph_.alive(e)) enqueue(current(e));
        live_ = queue_.size();
    }

    // Makes node `node` of the two regions of `best`; returns the new
    // region's number of neighbours.
    uint32_t merge(const Candidate& best, uint32_t node) {
        out_.parents[best.low] = out_.parents[best.high] = node;
        out_.altitudes[node] = best.weight;
        // The larger region keeps its slot: union by size keeps finds short.
        uint32_t keep = slotOfNode_[best.low], gone = slotOfNode_[best.high];
        if (slots_[keep].size < slots_[gone].size) std::swap(keep, gone);
        slots_[gone].parent = keep;
        slots_[keep].size += slots_[gone].size;
        for (uint32_t c = 0; c < channels_; ++c) sum_[uint64_t(keep) * channels_ + c] += sum_[uint64_t(gone) * channels_ + c];
        slotOfNode_[node] = keep;
        slots_[keep].node = node;
        graph_.join(keep, gone);

        // One edge per neighbour: the edges between the two children die, a
        // second edge to the same neighbour is folded into the first.
        touched_.clear();
        graph_.walk(keep, [&](uint32_t end) {
            const uint32_t edge = end >> 1, other = find(graph_.farOrigin(end));
            graph_.renameFar(end, other);
            Slot& region = slots_[other];
            if (other != keep && region.seenBy != node) {
                region.seenBy = node;
                region.edgeTo = edge;
                touched_.push_back(other);
                return true;
            }
            if (other != keep && !border_.empty()) border_[region.edgeTo].absorb(in_.linkage, border_[edge]);
            graph_.kill(edge);
            --live_;
            return false;
        });
        // Queued keys stay lower bounds of the current ones where the weight
        // did not drop: the queued node pair is never above the current one,
        // as node positions only grow. Only drops are queued now; rises are
        // found when the old key comes out.
        for (uint32_t other : touched_) {
            const uint32_t edge = slots_[other].edgeTo;
            const double w = weight(edge, keep, other);
            if (w < queued_[edge]) enqueue({w, slots_[other].node, node, edge, 0});
        }
        return uint32_t(touched_.size());
    }

    // Keeps one candidate per live adjacency: its latest.
    void dropStaleCandidates() {
        queue_.dropIf([&](const Candidate& c) { return !graph_.alive(c.edge) || c.stamp != stamp_[c.edge]; });
    }

    const PartitionInput& in_;
    const uint32_t channels_;
    PartitionTree& out_;
    RegionGraph& graph_;
    std::vector<BorderData>& border_;
    // What a merge reads of each neighbour, in one place.
    struct Slot {
        uint32_t parent;  // union-find
        uint32_t node;    // node position of the region
        uint32_t seenBy;  // the merge that last met it
        uint32_t edgeTo;  // the edge that merge keeps to it
        double size;      // pixels
    };
    std::vector<Slot> slots_;
    std::vector<double> sum_;           // by slot and channel
    std::vector<uint32_t> slotOfNode_;  // by node
    std::vector<uint32_t> touched_;
    CandidateQueue queue_;
    std::vector<uint32_t> stamp_;  // by edge: stamp of its latest candidate
    std::vector<double> queued_;   // by edge: weight of its latest candidate
    uint64_t live_ = 0;  // adjacencies alive
};

// Single linkage is Kruskal's order: the pixel pairs (or leaf borders, by
// their least pair) by weight, then by scan index; each pair that joins two
// regions merges them.
void mergeBySingleLinkage(const LeafGraph& leafGraph, uint32_t numLeaves, PartitionTree& out) {
    struct Link {
        double weight, first;
        uint32_t a, b;
    };
    const RegionGraph& graph = leafGraph.graph;
    std::vector<Link> links;
    links.reserve(graph.numEdges());
    for (uint32_t e = 0; e < graph.numEdges(); ++e)
        if (graph.alive(e))
            links.push_back({leafGraph.border[e].weight, leafGraph.border[e].first, graph.farOrigin(2 * e + 1),
                             graph.farOrigin(2 * e)});
    std::sort(links.begin(), links.end(), [](const Link& x, const Link& y) {
        return x.weight != y.weight ? x.weight < y.weight : x.first < y.first;
    });
    std::vector<uint32_t> root(numLeaves), nodeOf(numLeaves);
    for (uint32_t k = 0; k < numLeaves; ++k) root[k] = nodeOf[k] = k;
    auto find = [&](uint32_t k) {
        while (root[k] != k) k = root[k] = root[root[k]];
        return k;
    };
    uint32_t next = numLeaves;
    InterruptPoll poll;
    for (const Link& link : links) {
        poll.step();
        const uint32_t a = find(link.a), b = find(link.b);
        if (a == b) continue;
        out.parents[nodeOf[a]] = out.parents[nodeOf[b]] = next;
        out.altitudes[next] = link.weight;
        root[b] = a;
        nodeOf[a] = next++;
    }
}

}  // namespace

PartitionTree buildPartitionTree(const PartitionInput& input) {
    checkInput(input);
    PartitionTree out;
    const uint64_t n = input.grid.numPixels();
    uint32_t numLeaves = uint32_t(n);
    if (input.labels) {
        const LabelView view{input.labels, uint32_t(uint64_t(input.grid.depth) * input.grid.height),
                             input.grid.width};
        const LabelIndex index(view);
        numLeaves = index.size();
        out.leafOf.resize(n);
        for (uint64_t p = 0; p < n; ++p) out.leafOf[p] = index(input.labels[p]);
    }
    out.numLeaves = numLeaves;
    const uint64_t numNodes = 2 * uint64_t(numLeaves) - 1;
    out.parents.assign(numNodes, -1);
    out.altitudes.assign(numNodes, 0.0);
    const uint32_t* leafOf = input.labels ? out.leafOf.data() : nullptr;
    LeafGraph graph = buildLeafGraph(input.grid, input.ndim, input.connectivity, leafOf, numLeaves, input.values,
                                     input.channels, input.linkage);
    if (input.linkage == Linkage::Min) mergeBySingleLinkage(graph, numLeaves, out);
    else Merger(input, graph, numLeaves, leafOf, out).run();
    return out;
}

}  // namespace vexa
