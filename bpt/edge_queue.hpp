#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa {

// A candidate merge of two regions, named by their node indices.
struct Edge {
    float dissimilarity;
    uint32_t first;
    uint32_t second;
};

// Array-backed binary min-heap of edges ordered by dissimilarity alone.
// Equal edges come out in the order fixed by the sift rules below, never by
// node: push moves an edge up only past strictly greater parents; pop moves
// the hole down by promoting the smaller child (the right one on a tie), then
// drops the last element into it and sifts that up as push does.
class EdgeQueue {
public:
    bool empty() const { return heap_.empty(); }
    size_t size() const { return heap_.size(); }
    void reserve(size_t n) { heap_.reserve(n); }
    void push(const Edge& edge);
    // The edge of least dissimilarity; the queue must not be empty.
    Edge pop();
    // The heap array, root first.
    const std::vector<Edge>& array() const { return heap_; }

private:
    void siftUp(size_t hole, const Edge& edge);
    std::vector<Edge> heap_;
};

}  // namespace vexa
