#include "core/trees/graph_component_tree.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/uninitialised_vector.hpp"

namespace vexa {

namespace {

// Vertices by increasing (rank, id): a least-significant-digit radix sort of
// rank - min, 11 bits a pass, skipping the digits that all vertices share.
// Each pass is stable and the first one starts from id order, so ties stay
// in id order.
UninitialisedVector<uint32_t> processingOrder(const uint64_t* rank, uint32_t n, InterruptPoll& poll) {
    UninitialisedVector<uint32_t> order(n), spare(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    if (n < 2) return order;
    const auto [lo, hi] = std::minmax_element(rank, rank + n);
    const uint64_t low = *lo, span = *hi - *lo;
    constexpr int kBits = 11;
    constexpr uint32_t kDigits = 1u << kBits;
    std::vector<uint32_t> start(kDigits + 1);
    for (int shift = 0; shift < 64 && (span >> shift) != 0; shift += kBits) {
        std::fill(start.begin(), start.end(), 0);
        for (uint32_t i = 0; i < n; ++i) ++start[((rank[order[i]] - low) >> shift & (kDigits - 1)) + 1];
        if (*std::max_element(start.begin(), start.end()) == n) continue;  // one digit for all
        for (uint32_t d = 0; d < kDigits; ++d) start[d + 1] += start[d];
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t x = order[i];
            spare[start[(rank[x] - low) >> shift & (kDigits - 1)]++] = x;
        }
        order.swap(spare);
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
    const UninitialisedVector<uint32_t> order = processingOrder(rank, n, poll);
    UninitialisedVector<uint32_t> position(n);
    for (uint32_t k = 0; k < n; ++k) position[order[k]] = k;

    // Every edge in the bucket of its later endpoint's position, holding the
    // earlier endpoint (a counting sort); self-loops are dropped.
    std::vector<uint64_t> first(uint64_t(n) + 1, 0);
    for (uint64_t i = 0; i < m; ++i)
        if (u[i] != v[i]) ++first[std::max(position[u[i]], position[v[i]]) + uint64_t(1)];
    for (uint32_t k = 0; k < n; ++k) first[k + 1] += first[k];
    UninitialisedVector<uint32_t> earlier(first[n]);
    {
        std::vector<uint64_t> next(first.begin(), first.end() - 1);
        for (uint64_t i = 0; i < m; ++i) {
            const uint32_t a = position[u[i]], b = position[v[i]];
            if (a == b) continue;
            if (a > b) earlier[next[a]++] = v[i];
            else earlier[next[b]++] = u[i];
        }
        poll.step(uint32_t(std::min<uint64_t>(m, uint64_t(1) << 30)));
    }
    UninitialisedVector<uint32_t>().swap(position);
    // Union-find in processing order: each vertex becomes the root of the
    // sets of its earlier neighbours, and their roots its children.
    std::vector<uint32_t> parent(n);
    UninitialisedVector<uint32_t> zpar(n);
    auto find = [&](uint32_t x) {
        while (zpar[x] != x) {
            zpar[x] = zpar[zpar[x]];  // path halving
            x = zpar[x];
        }
        return x;
    };
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t p = order[k];
        parent[p] = p;
        zpar[p] = p;
        for (uint64_t e = first[k]; e < first[k + 1]; ++e) {
            const uint32_t r = find(earlier[e]);
            if (r != p) {
                parent[r] = p;
                zpar[r] = p;
            }
        }
        poll.step(uint32_t(1 + first[k + 1] - first[k]));
    }
    // Canonical vertices, from the roots down: a parent of the same rank as
    // its own parent is not canonical and passes that parent on.
    for (uint32_t k = n; k-- > 0;) {
        const uint32_t p = order[k], q = parent[p];
        if (rank[parent[q]] == rank[q]) parent[p] = parent[q];
    }
    for (uint32_t p = 0; p < n; ++p)
        if (parent[p] == p) parent[p] = kNoParent;
    return parent;
}

}  // namespace vexa
