#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "core/trees/any_tree.hpp"
#include "core/trees/flood.hpp"
#include "core/trees/level_keys.hpp"

using namespace vexa;

// The queue's lowest non-empty rank at or above a start, over rank counts
// that use one, two and all three bitmap levels and the top-level scan.
TEST(RankQueue, LowestFromAgreesWithAnOrderedSet) {
    std::mt19937_64 rng(3);
    for (uint64_t numRanks : {uint64_t(5), uint64_t(300), uint64_t(70000), uint64_t(1) << 22}) {
        const uint64_t numPixels = 4000;
        std::vector<uint64_t> rankOf(numPixels);
        for (auto& r : rankOf) r = rng() % numRanks;
        flood::RankQueue queue(numPixels, numRanks, [&](uint64_t p) { return rankOf[p]; });
        std::multiset<std::pair<uint64_t, uint32_t>> model;
        for (uint32_t p = 0; p < numPixels; ++p) {
            queue.push(p, rankOf[p]);
            model.insert({rankOf[p], p});
            if (rng() % 3 == 0) {
                const uint64_t from = rng() % numRanks;
                auto it = model.lower_bound({from, 0});
                ASSERT_EQ(queue.lowestFrom(from), it == model.end() ? -1 : int64_t(it->first));
                if (it != model.end()) {
                    const uint32_t q = queue.pop(it->first);
                    ASSERT_EQ(rankOf[q], it->first);
                    model.erase(model.find({rankOf[q], q}));
                }
            }
        }
    }
}

TEST(LevelKeys, OrderIsTheValueOrderAndSignedZerosShareAKey) {
    const std::vector<double> values = {-INFINITY, -1e300, -1.0, -1e-310, 0.0, 1e-310, 2.0, INFINITY};
    const std::vector<float> floats = {-INFINITY, -3e38f, -1.0f, -1e-40f, 0.0f, 1e-40f, 2.0f, INFINITY};
    for (size_t i = 1; i < values.size(); ++i) {
        EXPECT_LT(levelKey(values[i - 1]), levelKey(values[i]));
        EXPECT_LT(levelKey(floats[i - 1]), levelKey(floats[i])) << i;
    }
    EXPECT_EQ(levelKey(-0.0), levelKey(0.0));
    EXPECT_EQ(levelKey(-0.0f), levelKey(0.0f));
    EXPECT_LT(levelKey(int64_t(-5)), levelKey(int64_t(3)));
    EXPECT_LT(levelKey(int8_t(-128)), levelKey(int8_t(127)));
}

TEST(DenseRanks, RanksAreDenseInBothDirections) {
    const std::vector<uint64_t> keys = {7, 3, 7, 1ull << 40, 3};
    const DenseRanks up = denseRanks(keys.data(), keys.size(), false);
    EXPECT_EQ(up.rank, (std::vector<uint32_t>{1, 0, 1, 2, 0}));
    const DenseRanks down = denseRanks(keys.data(), keys.size(), true);
    EXPECT_EQ(down.rank, (std::vector<uint32_t>{1, 2, 1, 0, 2}));
    EXPECT_EQ(keys[down.pixelOfRank[0]], 1ull << 40);
}

// Noise of wide levels (nearly every pixel its own level, so long ancestor
// chains cross every seam) in 2-D and 3-D, all connectivities: every band
// count gives the one-band tree, ids included.
TEST(BandedFlood, WideNoiseGivesTheOneBandTree) {
    std::mt19937_64 random(3);
    auto check = [&](const void* data, PixelType type, Grid grid, int ndim) {
        const AnyImage image{data, type, grid};
        for (int connectivity = 1; connectivity <= ndim; ++connectivity) {
            for (bool maxTree : {true, false}) {
                const ComponentTreeArrays one = buildComponentTree(image, ndim, connectivity, maxTree, 1);
                for (unsigned bands : {2u, 3u, 7u, 16u}) {
                    const ComponentTreeArrays banded = buildComponentTree(image, ndim, connectivity, maxTree, bands);
                    ASSERT_EQ(one.parents, banded.parents) << ndim << "-D, bands " << bands;
                    ASSERT_TRUE(one.pixelNode == banded.pixelNode);
                }
            }
        }
    };
    std::vector<float> plane(41 * 23);
    for (float& v : plane) v = float(random() % 1000) / 7.0f;
    check(plane.data(), PixelType::Float32, Grid{1, 41, 23}, 2);
    std::vector<uint16_t> volume(17 * 11 * 9);
    for (uint16_t& v : volume) v = uint16_t(random());
    check(volume.data(), PixelType::UInt16, Grid{9, 11, 17}, 3);
    std::vector<int64_t> wide(13 * 8 * 6);
    for (int64_t& v : wide) v = int64_t(random() % 50) << 40;  // ties between wide levels
    check(wide.data(), PixelType::Int64, Grid{6, 8, 13}, 3);
}
