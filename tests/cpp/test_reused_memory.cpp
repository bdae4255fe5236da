// Large blocks come back for reuse; small ones and oversized fits do not.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "core/runtime/reused_memory.hpp"

using namespace vexa;

TEST(ReusedMemory, LargeBlocksAreHandedOutAgainWhenTheyFit) {
    const size_t large = size_t(3) << 20;
    void* first = takeMemory(large);
    const size_t before = keptMemory();
    giveBackMemory(first, large);
    EXPECT_EQ(keptMemory(), before + large);
    EXPECT_EQ(takeMemory(large - 4096), first);  // a little smaller still fits
    EXPECT_EQ(keptMemory(), before);
    giveBackMemory(first, large);
    void* other = takeMemory(large / 2);  // would waste half the block
    EXPECT_NE(other, first);
    giveBackMemory(other, large / 2);
    ReusedVector<double> values(large / sizeof(double));  // vectors take their memory there too
    EXPECT_EQ(static_cast<void*>(values.data()), first);
}

TEST(ReusedMemory, ReleasingFreesEveryKeptBlock) {
    const size_t large = size_t(3) << 20;
    giveBackMemory(takeMemory(large), large);
    EXPECT_GE(keptMemory(), large);
    releaseKeptMemory();
    EXPECT_EQ(keptMemory(), 0u);
    giveBackMemory(takeMemory(large), large);  // and keeping starts again
    EXPECT_EQ(keptMemory(), large);
}

TEST(ReusedMemory, SmallBlocksAreNotKept) {
    const size_t before = keptMemory();
    giveBackMemory(takeMemory(4096), 4096);
    EXPECT_EQ(keptMemory(), before);
}

TEST(ReusedMemory, ThreadsNeverShareABlock) {
    // Each thread writes its id over its block and checks it before giving
    // it back: a block handed to two threads at once would show the other's.
    std::vector<std::thread> threads;
    std::atomic<int> clashes{0};
    for (int id = 1; id <= 4; ++id)
        threads.emplace_back([id, &clashes] {
            for (int round = 0; round < 50; ++round) {
                const size_t bytes = (size_t(1) << 20) + size_t(round % 3) * 4096;
                auto* block = static_cast<int*>(takeMemory(bytes));
                std::fill(block, block + 1024, id);
                std::this_thread::yield();
                if (std::count(block, block + 1024, id) != 1024) ++clashes;
                giveBackMemory(block, bytes);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(clashes.load(), 0);
}
