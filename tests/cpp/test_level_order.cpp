#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "core/trees/level_keys.hpp"
#include "core/trees/marked_positions.hpp"

using namespace vexa;

// The order sorts by level then pixel, positionOf inverts it, and the rank
// of a position counts the distinct levels before its own; for lengths
// around a word of level starts, narrow and wide keys, both directions.
template <typename Key>
void checkSortedLevels(std::mt19937_64& rng, uint64_t n, Key spread, unsigned threads = 1) {
    std::vector<Key> keys(n);
    // An odd factor keeps distinct values distinct and spreads them over every byte.
    for (Key& k : keys) k = Key(Key(rng() % spread) * Key(0x9E3779B97F4A7C15ull));
    for (bool descending : {false, true}) {
        const SortedLevels sorted = sortLevels(keys.data(), n, descending, true, threads);
        std::map<Key, uint32_t> rankOf;  // of each distinct key, in the asked direction
        for (Key k : keys) rankOf[k] = 0;
        uint32_t r = 0;
        if (descending)
            for (auto it = rankOf.rbegin(); it != rankOf.rend(); ++it) it->second = r++;
        else
            for (auto& entry : rankOf) entry.second = r++;
        ASSERT_EQ(sorted.numLevels, rankOf.size());
        for (uint64_t i = 0; i < n; ++i) {
            const uint32_t p = sorted.order[i];
            ASSERT_EQ(sorted.positionOf[p], i);
            ASSERT_EQ(sorted.rankAt(i), rankOf[keys[p]]) << i;
            if (i > 0) {
                const uint32_t q = sorted.order[i - 1];
                ASSERT_LT(std::make_tuple(rankOf[keys[q]], q), std::make_tuple(rankOf[keys[p]], p));
            }
        }
        const DenseRanks dense = denseRanks(keys.data(), n, descending);
        for (uint64_t p = 0; p < n; ++p) ASSERT_EQ(dense.rank[p], rankOf[keys[p]]);
        for (uint32_t level = 0; level < dense.pixelOfRank.size(); ++level)
            ASSERT_EQ(rankOf[keys[dense.pixelOfRank[level]]], level);
    }
}

TEST(SortedLevels, OrderPositionsAndRanksAgreeWithAMap) {
    std::mt19937_64 rng(11);
    for (uint64_t n : {1, 63, 64, 65, 1000}) {
        checkSortedLevels<uint32_t>(rng, n, 5);
        checkSortedLevels<uint32_t>(rng, n, 1u << 20);
        checkSortedLevels<uint64_t>(rng, n, uint64_t(1) << 40);
    }
    // Large enough to be sorted in several ranges.
    checkSortedLevels<uint32_t>(rng, 300000, 1u << 20, 3);
    checkSortedLevels<uint64_t>(rng, 300000, 7, 2);
}

// Positions marked by tasks spread over threads: the count, the marked
// positions before any position, and the visit in ascending order agree
// with a sorted list, for one thread and several.
TEST(MarkedPositions, CountsAgreeWithASortedList) {
    std::mt19937_64 rng(12);
    const uint64_t bound = 5000;
    std::vector<std::vector<uint64_t>> tasks(7);
    std::vector<uint64_t> all;
    for (uint64_t at = 0; at < bound; ++at)
        if (rng() % 3 == 0) {
            tasks[rng() % tasks.size()].push_back(at);
            all.push_back(at);
        }
    for (unsigned threads : {1u, 2u, 3u}) {
        const MarkedPositions marked(bound, tasks.size(), threads, [&](size_t task, auto mark) {
            for (uint64_t at : tasks[task]) mark(at);
        });
        ASSERT_EQ(marked.count(), all.size());
        for (uint64_t at = 0; at < bound; ++at)
            ASSERT_EQ(marked.before(at), uint32_t(std::lower_bound(all.begin(), all.end(), at) - all.begin())) << at;
        std::vector<uint64_t> seen(all.size(), bound);
        marked.forEach(threads, [&](uint64_t at, uint32_t index) { seen[index] = at; });
        ASSERT_EQ(seen, all);
    }
}
