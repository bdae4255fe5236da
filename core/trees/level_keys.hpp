#pragma once
// Order-preserving unsigned keys of every pixel type, and dense ranks of
// wide keys by a linear-time radix sort.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "core/runtime/interrupt.hpp"

namespace vexa {

// Throws std::invalid_argument naming the first NaN of a floating image:
// NaN has no place in the order of levels. Does nothing for integers.
template <typename T>
void refuseNaN(const T* values, uint64_t n) {
    if constexpr (std::is_floating_point_v<T>) {
        for (uint64_t p = 0; p < n; ++p)
            if (std::isnan(values[p]))
                throw std::invalid_argument("image holds NaN (at flat index " + std::to_string(p) + ")");
    }
}

// Key whose unsigned order is the value order; -0.0 and 0.0 share one key.
// NaN has no place in the order: the caller refuses it first.
inline uint8_t levelKey(bool v) { return v; }
inline uint8_t levelKey(uint8_t v) { return v; }
inline uint8_t levelKey(int8_t v) { return uint8_t(v) ^ 0x80u; }
inline uint16_t levelKey(uint16_t v) { return v; }
inline uint16_t levelKey(int16_t v) { return uint16_t(v) ^ 0x8000u; }
inline uint32_t levelKey(uint32_t v) { return v; }
inline uint32_t levelKey(int32_t v) { return uint32_t(v) ^ 0x80000000u; }
inline uint64_t levelKey(int64_t v) { return uint64_t(v) ^ 0x8000000000000000ull; }
inline uint32_t levelKey(float v) {
    uint32_t bits;
    v = v + 0.0f;  // -0.0 becomes 0.0
    std::memcpy(&bits, &v, 4);
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}
inline uint64_t levelKey(double v) {
    uint64_t bits;
    v = v + 0.0;
    std::memcpy(&bits, &v, 8);
    return bits & 0x8000000000000000ull ? ~bits : bits | 0x8000000000000000ull;
}

// Dense ranks of n keys: rank[p] is the number of distinct keys below
// key[p] (above it when `descending`), and pixelOfRank[r] one pixel of rank r.
struct DenseRanks {
    std::vector<uint32_t> rank;
    std::vector<uint32_t> pixelOfRank;
};

template <typename Key>
DenseRanks denseRanks(const Key* keys, uint64_t n, bool descending) {
    // LSD radix sort of pixel indices by key, a byte at a time; bytes that
    // every key shares are skipped.
    std::vector<uint32_t> order(n), spare(n);
    for (uint64_t p = 0; p < n; ++p) order[p] = uint32_t(p);
    std::vector<Key> sorted(keys, keys + n), spareKeys(n);
    InterruptPoll poll(uint32_t(1) << 10);
    for (unsigned shift = 0; shift < 8 * sizeof(Key); shift += 8) {
        poll.step(uint32_t(std::min<uint64_t>(n >> 10, 0xFFFFFFFFu)) + 1);  // a pass per byte
        uint64_t count[257] = {0};
        for (uint64_t i = 0; i < n; ++i) ++count[((sorted[i] >> shift) & 0xFF) + 1];
        bool shared = false;
        for (int b = 0; b < 256; ++b) shared |= count[b + 1] == n;
        if (shared) continue;
        for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t to = count[(sorted[i] >> shift) & 0xFF]++;
            spareKeys[to] = sorted[i];
            spare[to] = order[i];
        }
        sorted.swap(spareKeys);
        order.swap(spare);
    }
    DenseRanks result;
    result.rank.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
        if (i == 0 || sorted[i] != sorted[i - 1]) result.pixelOfRank.push_back(order[i]);
        result.rank[order[i]] = uint32_t(result.pixelOfRank.size() - 1);
    }
    if (result.pixelOfRank.size() >= (uint64_t(1) << 31))
        throw std::invalid_argument("images with 2^31 or more distinct levels are not supported");
    if (descending) {
        const uint32_t last = uint32_t(result.pixelOfRank.size() - 1);
        for (uint32_t& r : result.rank) r = last - r;
        std::reverse(result.pixelOfRank.begin(), result.pixelOfRank.end());
    }
    return result;
}

}  // namespace vexa
