#include "core/trees/graph_component_tree.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/trees/level_keys.hpp"

namespace vexa {

namespace {

// Vertices by increasing (rank, id): a stable radix sort of rank - min
// from id order, with 32-bit keys where the span of ranks allows.
SortedLevels processingOrder(const uint64_t* rank, uint32_t n, unsigned threads) {
    if (n == 0) return sortLevelsBy<uint32_t>([](uint64_t) { return 0u; }, 0, false, true, threads);
    const auto [lo, hi] = std::minmax_element(rank, rank + n);
    const uint64_t low = *lo, span = *hi - low;
    const unsigned bits = span == 0 ? 0 : 64 - __builtin_clzll(span);
    if (bits <= 32)
        return sortLevelsBy<uint32_t>([&](uint64_t i) { return uint32_t(rank[i] - low); }, n, false, true, threads,
                                      bits);
    return sortLevelsBy<uint64_t>([&](uint64_t i) { return rank[i] - low; }, n, false, true, threads, bits);
}

}  // namespace

ReusedVector<uint32_t> graphComponentTree(const uint64_t* rank, uint32_t n, const uint32_t* u, const uint32_t* v,
                                          uint64_t m, unsigned threads, const uint32_t* processing) {
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
    SortedLevels sorted;
    if (processing) {
        sorted.positionOf = HugePageArray<uint32_t>(n);
        forEachRange(n, threads, threads, [&](size_t, uint64_t begin, uint64_t end) {
            for (uint64_t k = begin; k < end; ++k) sorted.positionOf[processing[k]] = uint32_t(k);
        });
    } else {
        sorted = processingOrder(rank, n, threads);
    }
    poll.step(n);
    const uint32_t* order = processing ? processing : sorted.order.data();
    const uint32_t* position = sorted.positionOf.data();
    ReusedVector<uint64_t> rankAt(n);
    forEachRange(n, threads, threads, [&](size_t, uint64_t begin, uint64_t end) {
        for (uint64_t k = begin; k < end; ++k) rankAt[k] = rank[order[k]];
    });

    // Every edge in the bucket of its later endpoint, holding the earlier
    // one (a counting sort); self-loops are dropped.
    ReusedVector<uint64_t> first(uint64_t(n) + 1);
    std::fill(first.begin(), first.end(), 0);
    for (uint64_t i = 0; i < m; ++i)
        if (u[i] != v[i]) ++first[std::max(position[u[i]], position[v[i]]) + uint64_t(1)];
    for (uint32_t k = 0; k < n; ++k) first[k + 1] += first[k];
    ReusedVector<uint32_t> earlier(first[n]);
    {
        ReusedVector<uint64_t> next(first.begin(), first.end() - 1);
        for (uint64_t i = 0; i < m; ++i) {
            const uint32_t a = position[u[i]], b = position[v[i]];
            if (a == b) continue;
            if (a > b) earlier[next[a]++] = b;
            else earlier[next[b]++] = a;
        }
        poll.step(uint32_t(std::min<uint64_t>(m, uint64_t(1) << 30)));
    }
    sorted.positionOf = HugePageArray<uint32_t>();
    // Union-find in processing order: each position becomes the root of the
    // sets of its earlier neighbours, and their roots its children.
    ReusedVector<uint32_t> parent(n), zpar(n);
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
    ReusedVector<uint32_t> out(n);
    forEachRange(n, threads, threads, [&](size_t, uint64_t begin, uint64_t end) {
        for (uint64_t k = begin; k < end; ++k) out[order[k]] = parent[k] == k ? kNoParent : order[parent[k]];
    });
    return out;
}

}  // namespace vexa
