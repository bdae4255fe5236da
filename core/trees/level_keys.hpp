#pragma once
// Order-preserving unsigned keys of every pixel type, and the order and
// dense ranks of wide keys by a linear-time radix sort.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/runtime/huge_pages.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/reused_memory.hpp"

namespace vexa {

// Throws std::invalid_argument naming the first NaN of a floating image:
// NaN has no place in the order of levels. Does nothing for integers.
template <typename T>
void refuseNaN(const T* values, uint64_t n, unsigned threads = 1) {
    if constexpr (std::is_floating_point_v<T>) {
        // Each range finds its first NaN; the first range with one names it.
        const size_t parts = n >= (uint64_t(1) << 18) ? threads : 1;
        std::vector<uint64_t> firstNaN(std::max<size_t>(parts, 1), n);
        forEachRange(n, parts, threads, [&](size_t t, uint64_t begin, uint64_t end) {
            for (uint64_t p = begin; p < end; ++p)
                if (std::isnan(values[p])) {
                    firstNaN[t] = p;
                    break;
                }
        });
        for (const uint64_t p : firstNaN)
            if (p < n) throw std::invalid_argument("image holds NaN (at flat index " + std::to_string(p) + ")");
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

// Pixels in the order of their levels: order[i] is the pixel at position i
// (levels ascending, or descending when asked; the pixels of one level by
// ascending index), positionOf its inverse (when asked for), and the
// positions where a new level starts marked, so that the dense rank of a
// position (the number of distinct levels before its own) costs a few word
// operations.
struct SortedLevels {
    HugePageArray<uint32_t> order;  // read at scattered positions by the flood
    HugePageArray<uint32_t> positionOf;
    std::vector<uint64_t> starts;        // bit i: position i starts a level
    std::vector<uint32_t> startsBefore;  // per word of starts: the bits set in the words before
    uint64_t numLevels = 0;

    uint32_t rankAt(uint64_t i) const {
        return startsBefore[i >> 6] + bitCount(starts[i >> 6] & (~uint64_t(0) >> (63 - (i & 63)))) - 1;
    }
    // The set bits of a word, in a few operations where the build's target
    // has no popcount instruction (its builtin is then a library call).
    static uint32_t bitCount(uint64_t x) {
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return uint32_t((x * 0x0101010101010101ull) >> 56);
    }
};

// Sorts n keys, keyOf(p) the key of pixel p, that differ only in their
// lowest keyBits bits (with a linear-time LSD radix sort of (key, pixel)
// pairs, at most 12 bits at a time: three passes for 32-bit keys, skipping
// the digits that every key shares), on up to `threads`
// threads: each pass splits the array into one range per thread, which
// counts its digits and scatters them after the earlier ranges' (so the
// sort stays stable and the result is the same for every thread count).
template <typename Key, typename KeyOf>
SortedLevels sortLevelsBy(KeyOf keyOf, uint64_t n, bool descending, bool withPositions = true, unsigned threads = 1,
                          unsigned keyBits = 8 * sizeof(Key)) {
    struct __attribute__((packed)) Item {  // 12 bytes with 64-bit keys: less to move per pass
        Key key;
        uint32_t pixel;
    };
    const Key flip = descending ? Key(~Key(0)) : Key(0);
    // Digits of at most 12 bits, as few as the keys' width needs.
    const unsigned kDigits = (keyBits + 11) / 12, kDigitBits = kDigits ? (keyBits + kDigits - 1) / kDigits : 1;
    const uint64_t kRadix = uint64_t(1) << kDigitBits;
    // Small inputs sort on one thread: a range must pay for its counts.
    const size_t parts = std::max<size_t>(1, std::min<uint64_t>(threads, n >> 16));
    HugePageArray<Item> items(n), spare(n);  // scattered to thousands of places at once
    // counts[t][d][v]: keys of range t with digit d equal to v; the first
    // reading of the keys counts every digit.
    std::vector<uint64_t> counts(parts * kDigits * kRadix, 0);
    auto countsOf = [&](size_t t, unsigned d) { return counts.data() + (t * kDigits + d) * kRadix; };
    forEachRange(n, parts, unsigned(parts), [&](size_t t, uint64_t begin, uint64_t end) {
        for (uint64_t p = begin; p < end; ++p) {
            const Key key = Key(keyOf(p) ^ flip);
            items[p] = Item{key, uint32_t(p)};
            for (unsigned d = 0; d < kDigits; ++d) ++countsOf(t, d)[(key >> (kDigitBits * d)) & (kRadix - 1)];
        }
    });
    InterruptPoll poll(uint32_t(1) << 10);
    for (unsigned d = 0; d < kDigits; ++d) {
        const unsigned shift = kDigitBits * d;
        // Skip a digit shared by every key.
        bool shared = false;
        for (uint64_t v = 0; v < kRadix && !shared; ++v) {
            uint64_t total = 0;
            for (size_t t = 0; t < parts; ++t) total += countsOf(t, d)[v];
            shared = total == n;
        }
        if (shared) continue;
        poll.step(uint32_t(std::min<uint64_t>(n >> 10, 0xFFFFFFFFu)) + 1);
        // Digit d of the current arrangement per range: after the first
        // pass the ranges hold other keys than those counted at first.
        if (d > 0 && parts > 1) {
            forEachRange(n, parts, unsigned(parts), [&](size_t t, uint64_t begin, uint64_t end) {
                uint64_t* count = countsOf(t, d);
                std::fill(count, count + kRadix, 0);
                for (uint64_t i = begin; i < end; ++i) ++count[(items[i].key >> shift) & (kRadix - 1)];
            });
        }
        // Where each range's keys of each digit value go.
        uint64_t next = 0;
        for (uint64_t v = 0; v < kRadix; ++v)
            for (size_t t = 0; t < parts; ++t) next += std::exchange(countsOf(t, d)[v], next);
        forEachRange(n, parts, unsigned(parts), [&](size_t t, uint64_t begin, uint64_t end) {
            uint64_t* count = countsOf(t, d);
            for (uint64_t i = begin; i < end; ++i) spare[count[(items[i].key >> shift) & (kRadix - 1)]++] = items[i];
        });
        std::swap(items, spare);
    }
    spare = HugePageArray<Item>();
    SortedLevels sorted;
    sorted.order = HugePageArray<uint32_t>(n);
    if (withPositions) sorted.positionOf = HugePageArray<uint32_t>(n);
    const uint64_t words = (n + 63) / 64;
    sorted.starts.resize(words);
    sorted.startsBefore.resize(words);
    // Ranges of whole words: the level starts of each word, then the counts before it.
    const size_t wordParts = std::min<uint64_t>(parts, words);
    forEachRange(words, wordParts, unsigned(parts), [&](size_t, uint64_t first, uint64_t last) {
        for (uint64_t w = first; w < last; ++w) {
            uint64_t bits = 0;
            for (uint64_t i = w * 64, end = std::min(n, i + 64); i < end; ++i) {
                const uint32_t p = items[i].pixel;
                sorted.order[i] = p;
                if (withPositions) sorted.positionOf[p] = uint32_t(i);
                if (i == 0 || items[i].key != items[i - 1].key) bits |= uint64_t(1) << (i & 63);
            }
            sorted.starts[w] = bits;
        }
    });
    uint64_t levels = 0;
    for (uint64_t w = 0; w < words; ++w) {
        sorted.startsBefore[w] = uint32_t(levels);
        levels += SortedLevels::bitCount(sorted.starts[w]);
    }
    sorted.numLevels = levels;
    return sorted;
}

// Throws std::invalid_argument when an image has more distinct levels than
// its trees' ranks can tell apart.
inline void refuseTooManyLevels(const SortedLevels& sorted) {
    if (sorted.numLevels >= (uint64_t(1) << 31))
        throw std::invalid_argument("images with 2^31 or more distinct levels are not supported");
}

// The levels of an image given as an array of keys: sortLevelsBy, then
// refuseTooManyLevels.
template <typename Key>
SortedLevels sortLevels(const Key* keys, uint64_t n, bool descending, bool withPositions = true, unsigned threads = 1) {
    SortedLevels sorted =
        sortLevelsBy<Key>([keys](uint64_t p) { return keys[p]; }, n, descending, withPositions, threads);
    refuseTooManyLevels(sorted);
    return sorted;
}

// Dense ranks of n keys: rank[p] is the number of distinct keys below
// key[p] (above it when `descending`), and pixelOfRank[r] one pixel of rank r.
struct DenseRanks {
    std::vector<uint32_t> rank;
    std::vector<uint32_t> pixelOfRank;
};

template <typename Key>
DenseRanks denseRanks(const Key* keys, uint64_t n, bool descending) {
    const SortedLevels sorted = sortLevels(keys, n, descending, false);
    DenseRanks result;
    result.rank.resize(n);
    result.pixelOfRank.resize(sorted.numLevels);
    uint32_t rank = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t p = sorted.order[i];
        if (sorted.starts[i >> 6] >> (i & 63) & 1) result.pixelOfRank[rank++] = p;
        result.rank[p] = rank - 1;
    }
    return result;
}

}  // namespace vexa
