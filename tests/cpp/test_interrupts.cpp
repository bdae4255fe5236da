// Long work stops at the host's request and leaves nothing half-changed.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "attributes/attribute_matrix.hpp"
#include "attributes/compute_attributes.hpp"
#include "attributes/node_info.hpp"
#include "bpt/binary_partition_tree.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/trees/jacobian_indices.hpp"
#include "core/trees/max_tree.hpp"

using namespace vexa;

namespace {

// A host that asks to stop at the first check, for the scope of the object.
struct StopRequested {
    StopRequested() {
        setInterruptCheck([] { return true; });
    }
    ~StopRequested() { setInterruptCheck(nullptr); }
};

// Enough pixels (and nodes) that every polled loop reaches a check.
constexpr uint32_t kSide = 768;

std::vector<uint8_t> noise() {
    std::mt19937 rng(7);
    std::vector<uint8_t> pixels(kSide * kSide);
    for (uint8_t& p : pixels) p = uint8_t(rng());
    return pixels;
}

std::vector<uint32_t> boxes(const MorphologicalTree& tree) {
    std::vector<uint32_t> all;
    for (NodeId id = 0; id < tree.numNodes(); ++id) {
        const Box& b = tree.box(id);
        all.insert(all.end(), {b.top, b.left, b.bottom, b.right});
    }
    return all;
}

}  // namespace

TEST(Interrupts, TreeBuildsStop) {
    const std::vector<uint8_t> pixels = noise();
    const StopRequested stop;
    EXPECT_THROW(MaxTree(ImageView{pixels.data(), kSide, kSide}, 1.5f), Interrupted);
    EXPECT_THROW(MaxTree(ImageView{pixels.data(), kSide * kSide, 1}, 2000.0f), Interrupted);
}

TEST(Interrupts, PartitionTreeBuildStops) {
    const std::vector<uint8_t> pixels = noise();
    std::vector<uint32_t> labels(pixels.size());
    std::iota(labels.begin(), labels.end(), 0u);
    const StopRequested stop;
    EXPECT_THROW(BinaryPartitionTree(ImageView{pixels.data(), kSide, kSide}, LabelView{labels.data(), kSide, kSide},
                                     DissimilarityType::Mean),
                 Interrupted);
}

// Interrupted extractions leave the boxes as they were, with links as built
// (the sweep) or rewritten (the descent); a later one completes normally.
TEST(Interrupts, AttributeExtractionLeavesBoxesUnchanged) {
    const std::vector<uint8_t> pixels = noise();
    for (bool rewritten : {false, true}) {
        MaxTree tree(ImageView{pixels.data(), kSide, kSide}, 1.5f);
        if (rewritten) tree.setParent(1, tree.parent(1));
        const std::vector<uint32_t> before = boxes(tree);
        AttributeMatrix m(tree.numNodes(), NUM_ATTRIBUTES);
        {
            const StopRequested stop;
            EXPECT_THROW(computeTreeAttributes(tree, m), Interrupted);
        }
        EXPECT_TRUE(boxes(tree) == before) << rewritten;
        computeTreeAttributes(tree, m);
        const Box& root = tree.box(tree.rootId());
        EXPECT_EQ(root.top, 0u);
        EXPECT_EQ(root.left, 0u);
        EXPECT_EQ(root.bottom, kSide - 1);
        EXPECT_EQ(root.right, kSide - 1);
    }
}

TEST(Interrupts, QueriesStopAndLeaveNoHalfFilledCache) {
    const std::vector<uint8_t> pixels = noise();
    MaxTree tree(ImageView{pixels.data(), kSide, kSide}, 1.5f);
    const StopRequested stop;
    EXPECT_THROW(tree.pixelsOfCC(tree.rootId()), Interrupted);
    EXPECT_THROW(treeInfo(tree), Interrupted);
    EXPECT_THROW(generateSparseCooIndices(tree), Interrupted);
    EXPECT_THROW(generateSparseCsrIndices(tree), Interrupted);
    EXPECT_TRUE(tree.jacobianCache.cooRowIndices.empty() && tree.jacobianCache.cooColIndices.empty());
    EXPECT_TRUE(tree.jacobianCache.csrRowOffsets.empty() && tree.jacobianCache.csrColIndices.empty());
}
