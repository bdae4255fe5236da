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
        throw std::invalid_argument("connectivity must be between 1 and " + std::to_string(in.ndim) + ", got " +
                                    std::to_string(in.connectivity));
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

// Adds each pixel to its leaf's size (slots[leaf].size) and per-channel
// sums (sum[leaf * channels + c]), in scan order.
template <typename Slot>
void sumLeaves(const PartitionInput& in, const uint32_t* leafOf, std::vector<Slot>& slots, std::vector<double>& sum) {
    const uint64_t n = in.grid.numPixels();
    const uint32_t channels = in.channels;
    for (uint64_t p = 0; p < n; ++p) {
        const uint32_t leaf = leafOf ? leafOf[p] : uint32_t(p);
        slots[leaf].size += 1.0;
        for (uint32_t c = 0; c < channels; ++c) sum[uint64_t(leaf) * channels + c] += in.values[p * channels + c];
    }
}

// The slot of the region `slot` belongs to (union-find with path halving).
template <typename Slot>
uint32_t findRegion(std::vector<Slot>& slots, uint32_t slot) {
    while (slots[slot].parent != slot) slot = slots[slot].parent = slots[slots[slot].parent].parent;
    return slot;
}

// The regions being merged. A region lives in the slot of one of its
// leaves (union-find over leaves); its node position, size, sums and
// adjacency list are kept by slot.
class Merger {
public:
    Merger(const PartitionInput& in, LeafGraph& leafGraph, uint32_t numLeaves, const uint32_t* leafOf,
           PartitionTree& out)
        : in_(in),
          channels_(in.channels),
          out_(out),
          graph_(leafGraph.graph),
          border_(leafGraph.border),
          slots_(numLeaves),
          sum_(uint64_t(numLeaves) * in.channels, 0.0) {
        for (uint32_t k = 0; k < numLeaves; ++k) slots_[k] = {k, k, kNone, 0, 0.0};
        sumLeaves(in, leafOf, slots_, sum_);
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
    uint32_t find(uint32_t slot) { return findRegion(slots_, slot); }

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
        for (uint32_t c = 0; c < channels_; ++c)
            sum_[uint64_t(keep) * channels_ + c] += sum_[uint64_t(gone) * channels_ + c];
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
    uint64_t live_ = 0;            // adjacencies alive
};

// Mean linkage without re-weighing every adjacency of a merged region.
//
// A merge moves the mean of the region that keeps its slot (the larger) by
// its drift: the distance between its old and new means. By the triangle
// inequality, an adjacency weighed w when the means of its two regions were
// m and m' weighs at least w - (drift of one since) - (drift of the other
// since), whatever the merges in between. So a queued key may lie below the
// weight by a slack, as long as neither region drifts by more than its share
// of the slack: every region that keeps a slot for long (a "lazy" one, of at
// least kLazySize pixels) sums its drifts into a potential, and keeps a heap
// of its adjacencies by the potential at which their share runs out; when
// its potential passes that point, the adjacency is weighed again. Small
// regions (the "eager" ones) re-weigh all their adjacencies at each merge,
// and take no share. The region that loses its slot (the smaller) re-weighs
// its adjacencies too: each pixel is on that side at most log2(N) times.
//
// Every live adjacency thus has a queued key at most its weight, node pair
// included (node positions only grow); between two eager regions a key
// stays until the weight drops below it, as for the other linkages. A key
// that comes out equal to its adjacency's merge, or whose merge comes before
// the next key, is the least merge of all: the order and the ties are those
// of re-weighing everything at every merge. Otherwise the adjacency goes
// back with its exact weight, so between two merges it comes out early at
// most once. Slacks are a fraction of the distance to the last merge's
// weight: far adjacencies wait long, near ones are weighed again soon.
// Round-off is paid out of the keys: drifts are summed rounded up, and keys
// lowered by a bound on the relative error of a distance of means.
class MeanMerger {
public:
    MeanMerger(const PartitionInput& in, LeafGraph& leafGraph, uint32_t numLeaves, const uint32_t* leafOf,
               PartitionTree& out)
        : channels_(in.channels),
          out_(out),
          graph_(leafGraph.graph),
          slots_(numLeaves),
          sum_(uint64_t(numLeaves) * in.channels, 0.0),
          mean_(in.channels),
          roundoff_((in.channels + 4) * 2.3e-16) {
        for (uint32_t k = 0; k < numLeaves; ++k) slots_[k] = {k, k, kNone, kNone, 0.0};
        sumLeaves(in, leafOf, slots_, sum_);
        slotOfNode_.resize(out_.parents.size());
        for (uint32_t k = 0; k < numLeaves; ++k) slotOfNode_[k] = k;
    }

    void run() {
        const uint32_t edges = graph_.numEdges();
        queue_.reserve(edges);
        stamp_.assign(edges, 0);
        exactKey_.assign(edges, NAN);
        for (uint32_t e = 0; e < edges; ++e)
            if (graph_.alive(e)) {
                ++live_;
                weigh(e, find(graph_.farOrigin(2 * e + 1)), find(graph_.farOrigin(2 * e)), HUGE_VAL, 0.0);
            }
        uint32_t nextNode = uint32_t(slots_.size());
        InterruptPoll poll;
        while (!queue_.empty()) {
            const Candidate queued = queue_.pop();
            if (stale(queued)) continue;
            const uint32_t a = find(graph_.farOrigin(2 * queued.edge + 1)), b = find(graph_.farOrigin(2 * queued.edge));
            if (a == b) {
                kill(queued.edge);
                continue;
            }
            const Candidate best = candidate(queued.edge, a, b);
            if (best.weight != queued.weight || best.low != queued.low || best.high != queued.high) {
                while (!queue_.empty() && stale(queue_.top())) queue_.pop();
                if (!queue_.empty() && before(queue_.top(), best)) {
                    weigh(queued.edge, a, b, HUGE_VAL, 0.0);
                    continue;
                }
            }
            const uint32_t work = merge(best, nextNode++);
            poll.step(work + 1);
            if (queue_.size() > 2 * live_ + 4096) queue_.dropIf([&](const Candidate& c) { return stale(c); });
            if (heapEntries_ > 4 * live_ + 4096) compactHeaps();
        }
    }

private:
    static constexpr double kSlack = 0.2;     // of the distance to the last merge's weight
    static constexpr double kLazySize = 256;  // pixels

    struct Slot {
        uint32_t parent;  // union-find
        uint32_t node;    // node position of the region
        uint32_t seenBy;  // the merge that last met it
        uint32_t lazy;    // its entry in lazy_, kNone while eager
        double size;      // pixels
    };
    // An adjacency's share of slack in one region's heap: it runs out when
    // the region's potential exceeds `until`.
    struct Share {
        double until;
        uint32_t edge, stamp;
        bool operator<(const Share& other) const { return until > other.until; }  // least on top
    };
    struct Lazy {
        std::vector<Share> shares;  // a heap
        double potential;           // sum of the region's drifts, rounded up
    };

    uint32_t find(uint32_t slot) { return findRegion(slots_, slot); }

    bool stale(const Candidate& c) const { return !graph_.alive(c.edge) || c.stamp != stamp_[c.edge]; }

    void kill(uint32_t edge) {
        graph_.kill(edge);
        --live_;
    }

    Candidate candidate(uint32_t edge, uint32_t a, uint32_t b) const {
        double w = regionDissimilarity(Linkage::Mean, slots_[a].size, &sum_[uint64_t(a) * channels_], slots_[b].size,
                                       &sum_[uint64_t(b) * channels_], channels_);
        if (std::isnan(w)) w = HUGE_VAL;  // overflowing sums order last, not at random
        const uint32_t na = slots_[a].node, nb = slots_[b].node;
        return {w, std::min(na, nb), std::max(na, nb), edge, 0};
    }

    // Weighs the adjacency of regions a and b again and queues it, with its
    // exact weight or, when a region is lazy, with a slack shared by the
    // lazy regions.
    void weigh(uint32_t edge, uint32_t a, uint32_t b, double front, double fraction) {
        Candidate c = candidate(edge, a, b);
        const double w = c.weight;
        const bool lazyA = slots_[a].lazy != kNone, lazyB = slots_[b].lazy != kNone;
        double slack = 0.0;
        if ((lazyA || lazyB) && std::isfinite(w) && w > front) {
            slack = fraction * (w - front);
            // Round-off in the weights and drifts is paid out of the key.
            c.weight = (w - slack) - 4.0 * roundoff_ * (w + slack) - 1e-300;
            if (!(c.weight > front)) {
                c.weight = w;
                slack = 0.0;
            }
        }
        c.stamp = ++stamp_[edge];
        exactKey_[edge] = lazyA || lazyB ? NAN : w;
        queue_.push(c);
        if (lazyA) share(a, lazyB ? 0.5 * slack : slack, edge, c.stamp);
        if (lazyB) share(b, lazyA ? slack - 0.5 * slack : slack, edge, c.stamp);
    }

    void share(uint32_t slot, double slack, uint32_t edge, uint32_t stamp) {
        Lazy& region = lazy_[slots_[slot].lazy];
        const double p = region.potential;
        const double until = slack > 0.0 ? std::nextafter(p + slack, -HUGE_VAL) : p;
        region.shares.push_back({std::max(until, p), edge, stamp});
        std::push_heap(region.shares.begin(), region.shares.end());
        ++heapEntries_;
    }

    // Makes node `node` of the two regions of `best`; returns the number of
    // adjacencies weighed again, for the interrupt poll.
    uint32_t merge(const Candidate& best, uint32_t node) {
        out_.parents[best.low] = out_.parents[best.high] = node;
        out_.altitudes[node] = best.weight;
        front_ = best.weight;
        // The larger region keeps its slot: union by size keeps finds short
        // and makes the walks below small.
        uint32_t keep = slotOfNode_[best.low], gone = slotOfNode_[best.high];
        if (slots_[keep].size < slots_[gone].size) std::swap(keep, gone);
        Slot& kept = slots_[keep];
        double* sumKeep = &sum_[uint64_t(keep) * channels_];
        const double* sumGone = &sum_[uint64_t(gone) * channels_];
        for (uint32_t c = 0; c < channels_; ++c) mean_[c] = sumKeep[c] / kept.size;
        slots_[gone].parent = keep;
        kept.size += slots_[gone].size;
        for (uint32_t c = 0; c < channels_; ++c) sumKeep[c] += sumGone[c];
        slotOfNode_[node] = keep;
        kept.node = node;

        uint32_t work = 0;
        auto reweigh = [&](uint32_t end) {
            const uint32_t edge = end >> 1, other = find(graph_.farOrigin(end));
            graph_.renameFar(end, other);
            if (other == keep || slots_[other].seenBy == node) {  // inside, or a second edge to `other`
                kill(edge);
                return false;
            }
            slots_[other].seenBy = node;
            // Between two eager regions a key stays a lower bound until its
            // weight drops below it (rises are found when it comes out).
            if (kept.lazy != kNone || slots_[other].lazy != kNone ||
                !(regionDissimilarity(Linkage::Mean, kept.size, sumKeep, slots_[other].size,
                                      &sum_[uint64_t(other) * channels_], channels_) >= exactKey_[edge])) {
                weigh(edge, keep, other, front_, kSlack);
                ++work;
            }
            return true;
        };
        if (kept.lazy != kNone && !drift(keep)) forget(keep);  // a drift past all bounds: re-weigh everything
        if (kept.lazy != kNone) {
            graph_.walk(gone, reweigh);
            graph_.join(keep, gone);
            expire(keep);
        } else {
            graph_.join(keep, gone);
            if (kept.size >= kLazySize && finiteMean(keep)) makeLazy(keep);
            graph_.walk(keep, reweigh);
        }
        forget(gone);
        return work;
    }

    bool finiteMean(uint32_t slot) const {
        for (uint32_t c = 0; c < channels_; ++c)
            if (!std::isfinite(sum_[uint64_t(slot) * channels_ + c] / slots_[slot].size)) return false;
        return true;
    }

    void makeLazy(uint32_t slot) {
        if (freeLazy_.empty()) {
            freeLazy_.push_back(uint32_t(lazy_.size()));
            lazy_.emplace_back();
        }
        slots_[slot].lazy = freeLazy_.back();
        freeLazy_.pop_back();
        lazy_[slots_[slot].lazy].potential = 0.0;
    }

    // Makes the region eager, dropping its heap.
    void forget(uint32_t slot) {
        const uint32_t k = slots_[slot].lazy;
        if (k == kNone) return;
        heapEntries_ -= lazy_[k].shares.size();
        std::vector<Share>().swap(lazy_[k].shares);
        freeLazy_.push_back(k);
        slots_[slot].lazy = kNone;
    }

    // Adds the distance the region's mean moved (from mean_) to its
    // potential, rounded up; false when that is not finite.
    bool drift(uint32_t slot) {
        const Slot& region = slots_[slot];
        double& potential = lazy_[region.lazy].potential;
        const double* sum = &sum_[uint64_t(slot) * channels_];
        double squared = 0.0;
        bool moved = false;
        for (uint32_t c = 0; c < channels_; ++c) {
            const double now = sum[c] / region.size, d = now - mean_[c];
            moved = moved || now != mean_[c];
            squared += d * d;
        }
        if (!moved) return true;
        const double distance = std::sqrt(squared) * (1.0 + 4.0 * roundoff_);
        potential = std::nextafter(potential + distance, HUGE_VAL);
        return std::isfinite(potential);
    }

    // Weighs again the adjacencies whose share in `slot`'s heap ran out.
    void expire(uint32_t slot) {
        std::vector<Share>& heap = lazy_[slots_[slot].lazy].shares;
        const double potential = lazy_[slots_[slot].lazy].potential;
        while (!heap.empty() && heap.front().until < potential) {
            const Share s = heap.front();
            std::pop_heap(heap.begin(), heap.end());
            heap.pop_back();
            --heapEntries_;
            if (!graph_.alive(s.edge) || s.stamp != stamp_[s.edge]) continue;
            const uint32_t a = find(graph_.farOrigin(2 * s.edge + 1)), b = find(graph_.farOrigin(2 * s.edge));
            if (a == b) kill(s.edge);
            else weigh(s.edge, a, b, front_, kSlack);
        }
    }

    // Drops the shares of adjacencies weighed again since, or gone.
    void compactHeaps() {
        heapEntries_ = 0;
        for (Lazy& region : lazy_) {
            std::vector<Share>& heap = region.shares;
            heap.erase(
                std::remove_if(heap.begin(), heap.end(),
                               [&](const Share& s) { return !graph_.alive(s.edge) || s.stamp != stamp_[s.edge]; }),
                heap.end());
            std::make_heap(heap.begin(), heap.end());
            heapEntries_ += heap.size();
        }
    }

    const uint32_t channels_;
    PartitionTree& out_;
    RegionGraph& graph_;
    std::vector<Slot> slots_;
    std::vector<double> sum_;           // by slot and channel
    std::vector<uint32_t> slotOfNode_;  // by node
    std::vector<Lazy> lazy_;            // by Slot::lazy
    std::vector<uint32_t> freeLazy_;    // entries of lazy_ not in use
    std::vector<double> mean_;          // the kept region's mean before a merge
    const double roundoff_;             // relative error bound of a distance of means
    CandidateQueue queue_;
    std::vector<uint32_t> stamp_;   // by edge: stamp of its latest candidate
    std::vector<double> exactKey_;  // by edge: its latest key when no region holds a share, else NaN
    double front_ = 0.0;            // weight of the last merge
    uint64_t live_ = 0;             // adjacencies alive
    uint64_t heapEntries_ = 0;      // shares in all heaps
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
        const LabelView view{input.labels, uint32_t(uint64_t(input.grid.depth) * input.grid.height), input.grid.width};
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
    else if (input.linkage == Linkage::Mean) MeanMerger(input, graph, numLeaves, leafOf, out).run();
    else Merger(input, graph, numLeaves, leafOf, out).run();
    return out;
}

}  // namespace vexa
