#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa {

// A queued merge of two regions named by node position, weighed by their
// dissimilarity, for the adjacency `edge`; `stamp` tells the edge's latest
// candidate from older ones.
struct Candidate {
    double weight;
    uint32_t low, high;  // low < high
    uint32_t edge, stamp;
};

// Least weight first, then least (low, high): a total order on the merges,
// so the merge order depends on the candidates alone, never on the queue's
// layout.
inline bool before(const Candidate& a, const Candidate& b) {
    if (a.weight != b.weight) return a.weight < b.weight;
    return a.low != b.low ? a.low < b.low : a.high < b.high;
}

// A 4-ary min-heap of candidates: half the levels of a binary heap, and the
// four children of a slot share a cache line.
class CandidateQueue {
public:
    bool empty() const { return heap_.empty(); }
    size_t size() const { return heap_.size(); }
    const Candidate& top() const { return heap_[0]; }
    void reserve(size_t n) { heap_.reserve(n); }

    void push(const Candidate& c) {
        size_t hole = heap_.size();
        heap_.push_back(c);
        while (hole > 0) {
            const size_t parent = (hole - 1) / 4;
            if (!before(c, heap_[parent])) break;
            heap_[hole] = heap_[parent];
            hole = parent;
        }
        heap_[hole] = c;
    }

    Candidate pop() {
        const Candidate top = heap_[0];
        const Candidate last = heap_.back();
        heap_.pop_back();
        if (!heap_.empty()) siftDown(0, last);
        return top;
    }

    // Drops the candidates `stale` names and restores the heap order.
    template <typename Stale>
    void dropIf(Stale&& stale) {
        size_t kept = 0;
        for (const Candidate& c : heap_)
            if (!stale(c)) heap_[kept++] = c;
        heap_.resize(kept);
        for (size_t i = kept / 4 + 1; i-- > 0;)
            if (i < kept) siftDown(i, heap_[i]);
    }

private:
    void siftDown(size_t hole, const Candidate c) {
        const size_t n = heap_.size();
        for (;;) {
            const size_t first = 4 * hole + 1;
            if (first >= n) break;
            size_t best = first;
            const size_t end = first + 4 < n ? first + 4 : n;
            for (size_t k = first + 1; k < end; ++k)
                if (before(heap_[k], heap_[best])) best = k;
            if (!before(heap_[best], c)) break;
            heap_[hole] = heap_[best];
            hole = best;
        }
        heap_[hole] = c;
    }

    std::vector<Candidate> heap_;
};

}  // namespace vexa
