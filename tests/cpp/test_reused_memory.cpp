// Large blocks come back for reuse; small ones and oversized fits do not.
#include <gtest/gtest.h>

#include "core/reused_memory.hpp"

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

TEST(ReusedMemory, SmallBlocksAreNotKept) {
    const size_t before = keptMemory();
    giveBackMemory(takeMemory(4096), 4096);
    EXPECT_EQ(keptMemory(), before);
}
