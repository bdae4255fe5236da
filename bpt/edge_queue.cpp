#include "bpt/edge_queue.hpp"

namespace vexa {

void EdgeQueue::siftUp(size_t hole, const Edge& edge) {
    while (hole > 0) {
        const size_t parent = (hole - 1) / 2;
        if (!(heap_[parent].dissimilarity > edge.dissimilarity)) break;
        heap_[hole] = heap_[parent];
        hole = parent;
    }
    heap_[hole] = edge;
}

void EdgeQueue::push(const Edge& edge) {
    heap_.push_back(edge);
    siftUp(heap_.size() - 1, edge);
}

Edge EdgeQueue::pop() {
    const Edge top = heap_.front();
    const Edge last = heap_.back();
    heap_.pop_back();
    const size_t n = heap_.size();
    if (n == 0) return top;

    Edge* heap = heap_.data();
    size_t hole = 0;
    while (2 * hole + 2 < n) {
        const size_t left = 2 * hole + 1, right = left + 1;
        // The hole goes down to the bottom: fetch the sixteen entries four
        // levels below now, so that the cache misses of successive levels
        // overlap instead of queueing up one after the other.
        if (16 * hole + 30 < n) {
            __builtin_prefetch(heap + 16 * hole + 15);
            __builtin_prefetch(heap + 16 * hole + 20);
            __builtin_prefetch(heap + 16 * hole + 25);
            __builtin_prefetch(heap + 16 * hole + 30);
        }
        // The right child unless the left one is strictly smaller (no branch:
        // the outcome is a coin toss).
        const size_t child = right - size_t(heap[left].dissimilarity < heap[right].dissimilarity);
        heap[hole] = heap[child];
        hole = child;
    }
    if (2 * hole + 1 < n) {
        heap_[hole] = heap_[2 * hole + 1];
        hole = 2 * hole + 1;
    }
    siftUp(hole, last);
    return top;
}

}  // namespace vexa
