#include "core/trees/graph_component_tree.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/uninitialised_vector.hpp"

namespace vexa {

namespace {

// One stable counting pass of a least-significant-digit radix sort: items
// by their digit at `shift` (digitBits wide). Returns false, leaving the
// items as they are, when they all share that digit.
template <typename Item, typename DigitOf>
bool radixPass(UninitialisedVector<Item>& items, UninitialisedVector<Item>& spare, int digitBits,
               std::vector<uint32_t>& start, DigitOf digitOf) {
    const uint32_t n = uint32_t(items.size());
    start.assign((size_t(1) << digitBits) + 1, 0);
    for (uint32_t i = 0; i < n; ++i) ++start[digitOf(items[i]) + 1];
    if (*std::max_element(start.begin(), start.end()) == n) return false;
    for (size_t d = 0; d + 1 < start.size(); ++d) start[d + 1] += start[d];
    for (uint32_t i = 0; i < n; ++i) spare[start[digitOf(items[i])]++] = items[i];
    items.swap(spare);
    return true;
}

// Vertices by increasing (rank, id), by a radix sort of rank - min that
// starts from id order and keeps ties in it. Spans of up to 32 bits sort
// (rank - min, id) packed in one word, read in sequence; wider ones sort
// ids, reading their ranks.
UninitialisedVector<uint32_t> processingOrder(const uint64_t* rank, uint32_t n, InterruptPoll& poll) {
    UninitialisedVector<uint32_t> order(n);
    if (n == 0) return order;
    const auto [lo, hi] = std::minmax_element(rank, rank + n);
    const uint64_t low = *lo, span = *hi - *lo;
    const int bits = span == 0 ? 0 : 64 - __builtin_clzll(span);
    const int widest = n >= (1u << 16) ? 16 : 11;  // digits no wider than the count pays for
    const int passes = (bits + widest - 1) / widest;
    const int digitBits = passes ? (bits + passes - 1) / passes : 0;
    const uint64_t mask = (uint64_t(1) << digitBits) - 1;
    std::vector<uint32_t> start;
    if (bits <= 32) {
        UninitialisedVector<uint64_t> keys(n), spare(n);
        for (uint32_t i = 0; i < n; ++i) keys[i] = (rank[i] - low) << 32 | i;
        for (int pass = 0; pass < passes; ++pass) {
            const int shift = 32 + pass * digitBits;
            radixPass(keys, spare, digitBits, start, [&](uint64_t key) { return uint32_t(key >> shift & mask); });
            poll.step(n);
        }
        for (uint32_t i = 0; i < n; ++i) order[i] = uint32_t(keys[i]);
        return order;
    }
    UninitialisedVector<uint32_t> spare(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = pass * digitBits;
        radixPass(order, spare, digitBits, start,
                  [&](uint32_t x) { return uint32_t((rank[x] - low) >> shift & mask); });
        poll.step(n);
    }
    return order;
}

}  // namespace

std::vector<uint32_t> graphComponentTree(const uint64_t* rank, uint32_t n, const uint32_t* u, const uint32_t* v,
                                         uint64_t m) {
    if (n == kNoParent)
        throw std::invalid_argument("graph has " + std::to_string(n) + " vertices: at most " +
                                    std::to_string(kNoParent - 1) + " are supported");
    for (uint64_t i = 0; i < m; ++i)
        if (u[i] >= n || v[i] >= n)
            throw std::invalid_argument("edge " + std::to_string(i) + " joins vertices " + std::to_string(u[i]) +
                                        " and " + std::to_string(v[i]) + ", but the graph has " + std::to_string(n) +
                                        " vertices");
    InterruptPoll poll;
    // The work runs on processing positions rather than vertex ids: a
    // vertex's own entries are then visited in sequence.
    const UninitialisedVector<uint32_t> order = processingOrder(rank, n, poll);
    UninitialisedVector<uint32_t> position(n);
    UninitialisedVector<uint64_t> rankAt(n);
    for (uint32_t k = 0; k < n; ++k) {
        position[order[k]] = k;
        rankAt[k] = rank[order[k]];
    }

    // Every edge in the bucket of its later endpoint, holding the earlier
    // one (a counting sort); self-loops are dropped.
    UninitialisedVector<uint64_t> first(uint64_t(n) + 1);
    std::fill(first.begin(), first.end(), 0);
    for (uint64_t i = 0; i < m; ++i)
        if (u[i] != v[i]) ++first[std::max(position[u[i]], position[v[i]]) + uint64_t(1)];
    for (uint32_t k = 0; k < n; ++k) first[k + 1] += first[k];
    UninitialisedVector<uint32_t> earlier(first[n]);
    {
        UninitialisedVector<uint64_t> next(first.begin(), first.end() - 1);
        for (uint64_t i = 0; i < m; ++i) {
            const uint32_t a = position[u[i]], b = position[v[i]];
            if (a == b) continue;
            if (a > b) earlier[next[a]++] = b;
            else earlier[next[b]++] = a;
        }
        poll.step(uint32_t(std::min<uint64_t>(m, uint64_t(1) << 30)));
    }
    UninitialisedVector<uint32_t>().swap(position);
    // Union-find in processing order: each position becomes the root of the
    // sets of its earlier neighbours, and their roots its children.
    UninitialisedVector<uint32_t> parent(n), zpar(n);
    auto find = [&](uint32_t x) {
        while (zpar[x] != x) {
            zpar[x] = zpar[zpar[x]];  // path halving
            x = zpar[x];
        }
        return x;
    };
    for (uint32_t k = 0; k < n; ++k) {
        parent[k] = k;
        zpar[k] = k;
        for (uint64_t e = first[k]; e < first[k + 1]; ++e) {
            const uint32_t r = find(earlier[e]);
            if (r != k) {
                parent[r] = k;
                zpar[r] = k;
            }
        }
        poll.step(uint32_t(1 + first[k + 1] - first[k]));
    }
    // Canonical positions, from the roots down: a parent of the same rank as
    // its own parent is not canonical and passes that parent on.
    for (uint32_t k = n; k-- > 0;) {
        const uint32_t q = parent[k];
        if (rankAt[parent[q]] == rankAt[q]) parent[k] = parent[q];
    }
    std::vector<uint32_t> out(n);
    for (uint32_t k = 0; k < n; ++k) out[order[k]] = parent[k] == k ? kNoParent : order[parent[k]];
    return out;
}

}  // namespace vexa
