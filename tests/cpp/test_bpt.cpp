#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "bpt/binary_partition_tree.hpp"
#include "bpt/dissimilarity.hpp"
#include "bpt/edge_queue.hpp"
#include "bpt/node_bpt.hpp"

using namespace vexa;

namespace {

BinaryPartitionTree makeTree(const std::vector<uint8_t>& image, const std::vector<uint32_t>& labels,
                             uint32_t rows, uint32_t cols) {
    return BinaryPartitionTree(ImageView{image.data(), rows, cols},
                               LabelView{labels.data(), rows, cols}, DissimilarityType::Mean);
}

std::pair<uint32_t, uint32_t> childIds(const NodeBPT& node) {
    return {node.first()->id(), node.second()->id()};
}

std::vector<uint32_t> ids(const std::vector<NodeBPT*>& nodes) {
    std::vector<uint32_t> out;
    for (const NodeBPT* n : nodes) out.push_back(n->id());
    return out;
}

NodeBPT leafWith(int32_t id, const std::vector<uint32_t>& pixels, uint32_t cols) {
    NodeBPT leaf(id, Pixel{int32_t(pixels[0] / cols), int32_t(pixels[0] % cols)});
    for (uint32_t p : pixels) leaf.appendPixel(p, cols);
    return leaf;
}

}  // namespace

TEST(MeanLevel, Float32Metrics) {
    const MeanLevel mean;
    const std::vector<uint8_t> image(100, 201);
    const std::vector<uint32_t> pixels = {0, 5, 7, 99};
    EXPECT_EQ(mean.computeMetric(image.data(), Span<uint32_t>(pixels.data(), pixels.size())), 201.0f);
    EXPECT_TRUE(std::isnan(mean.computeMetric(image.data(), Span<uint32_t>())));

    NodeBPT a = leafWith(1, {0, 1}, 10), b = leafWith(2, {3}, 10);
    NodeBPT low(3, a, b, 10.0f), high(4, b, a, 30.0f);
    EXPECT_EQ(mean.dissimilarity(low, high), 20.0f);
    EXPECT_EQ(mean.dissimilarity(high, low), 20.0f);
    // 0.1 and 0.3 as floats differ by a float-rounded 0.2.
    NodeBPT p(5, a, b, 0.1f), q(6, a, b, 0.3f);
    EXPECT_EQ(mean.dissimilarity(p, q), std::fabs(0.1f - 0.3f));
}

TEST(MeanLevel, MergeOfThreePixelsAt10AndOneAt30Is15) {
    const MeanLevel mean;
    const std::vector<uint8_t> image = {10, 10, 10, 30};
    const NodeBPT three = leafWith(1, {0, 1, 2}, 4);
    EXPECT_EQ(mean.computeMetric(image.data(), three), 10.0f);
    BinaryPartitionTree tree = makeTree(image, {1, 1, 1, 2}, 1, 4);
    EXPECT_EQ(mean.mergeMetric(tree.node(0), tree.node(1)), 15.0f);
    EXPECT_EQ(tree.root()->metric(), 15.0f);
}

TEST(MeanLevel, UnknownMeasureIsRefused) {
    EXPECT_THROW(makeDissimilarityProcessor(DissimilarityType(1)), std::runtime_error);
    const std::vector<uint8_t> image(4);
    const std::vector<uint32_t> labels(4);
    try {
        BinaryPartitionTree(ImageView{image.data(), 2, 2}, LabelView{labels.data(), 2, 2},
                            DissimilarityType(3));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tipo de dissimilaridade desconhecida.");
    }
}

TEST(EdgeQueue, EqualEdgesFollowTheSiftRules) {
    EdgeQueue queue;
    for (uint32_t id = 0; id < 5; ++id) queue.push({1.0f, id, id});
    std::vector<uint32_t> order;
    while (!queue.empty()) order.push_back(queue.pop().first);
    // Pop promotes the right child on a tie: 0, then 2 (right of 0), 4, 1, 3.
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 2, 4, 1, 3}));
}

TEST(EdgeQueue, PushMovesOnlyPastStrictlyGreaterParents) {
    EdgeQueue queue;
    queue.push({2.0f, 0, 0});
    queue.push({2.0f, 1, 1});
    queue.push({1.0f, 2, 2});
    queue.push({2.0f, 3, 3});
    std::vector<uint32_t> heap;
    for (const Edge& e : queue.array()) heap.push_back(e.first);
    EXPECT_EQ(heap, (std::vector<uint32_t>{2, 1, 0, 3}));
}

TEST(EdgeQueue, AgreesWithTheStandardHeapOnRandomTies) {
    // libstdc++'s push_heap/pop_heap follow the same sift rules.
    std::mt19937 rng(7);
    EdgeQueue queue;
    std::vector<Edge> reference;
    auto greater = [](const Edge& a, const Edge& b) { return a.dissimilarity > b.dissimilarity; };
    uint32_t next = 0;
    for (int step = 0; step < 5000; ++step) {
        if (rng() % 3 != 0 || reference.empty()) {
            const Edge e{float(rng() % 4), next, next};
            ++next;
            queue.push(e);
            reference.push_back(e);
            std::push_heap(reference.begin(), reference.end(), greater);
        } else {
            std::pop_heap(reference.begin(), reference.end(), greater);
            EXPECT_EQ(queue.pop().first, reference.back().first);
            reference.pop_back();
        }
    }
}

TEST(NodeBPT, LeafConstructor) {
    NodeBPT leaf(-1, Pixel{2, 3});
    EXPECT_EQ(leaf.id(), 4294967295u);
    EXPECT_EQ(leaf.top(), 2u);
    EXPECT_EQ(leaf.bottom(), 2u);
    EXPECT_EQ(leaf.left(), 3u);
    EXPECT_EQ(leaf.right(), 3u);
    EXPECT_TRUE(leaf.ccps().empty());
    EXPECT_TRUE(leaf.neighbors().empty());
    EXPECT_TRUE(std::isnan(leaf.metric()));
    EXPECT_TRUE(leaf.active());
    EXPECT_EQ(leaf.parent(), nullptr);
    EXPECT_EQ(leaf.first(), nullptr);
    leaf.appendPixel(2 * 10 + 3, 10);
    leaf.appendPixel(0 * 10 + 5, 10);
    EXPECT_EQ(leaf.ccps(), (std::vector<uint32_t>{23, 5}));
    EXPECT_EQ(leaf.top(), 0u);
    EXPECT_EQ(leaf.right(), 5u);
}

TEST(NodeBPT, MergedConstructorLeavesChildrenUntouched) {
    NodeBPT a = leafWith(1, {11, 12}, 10), b = leafWith(2, {0, 31}, 10);
    NodeBPT merged(9, a, b, 0.5f);
    EXPECT_EQ(merged.ccps(), (std::vector<uint32_t>{11, 12, 0, 31}));
    EXPECT_EQ(merged.top(), 0u);
    EXPECT_EQ(merged.left(), 0u);
    EXPECT_EQ(merged.bottom(), 3u);
    EXPECT_EQ(merged.right(), 2u);
    EXPECT_EQ(merged.metric(), 0.5f);
    EXPECT_EQ(merged.first(), &a);
    EXPECT_EQ(merged.second(), &b);
    EXPECT_TRUE(a.active());
    EXPECT_EQ(a.parent(), nullptr);
}

TEST(BinaryPartitionTree, SingleLabelIsALeafRoot) {
    BinaryPartitionTree tree = makeTree({1, 2, 3, 4}, {6, 6, 6, 6}, 2, 2);
    ASSERT_EQ(tree.numNodes(), 1u);
    EXPECT_EQ(tree.root()->id(), 6u);
    EXPECT_TRUE(std::isnan(tree.root()->metric()));
    EXPECT_TRUE(tree.root()->active());
}

TEST(BinaryPartitionTree, SwappedLabelsStillMerge) {
    BinaryPartitionTree tree = makeTree({10, 10, 30, 30}, {2, 2, 1, 1}, 1, 4);
    const NodeBPT& root = *tree.root();
    EXPECT_EQ(root.id(), 3u);
    EXPECT_EQ(childIds(root), std::make_pair(1u, 2u));
    EXPECT_EQ(root.ccps(), (std::vector<uint32_t>{2, 3, 0, 1}));
    EXPECT_FALSE(tree.node(0).active());
}

TEST(BinaryPartitionTree, TwoByTwoExample) {
    BinaryPartitionTree tree = makeTree({10, 20, 40, 80}, {1, 2, 3, 4}, 2, 2);
    ASSERT_EQ(tree.numNodes(), 7u);
    EXPECT_EQ(childIds(tree.node(4)), std::make_pair(1u, 2u));
    EXPECT_EQ(tree.node(4).metric(), 15.0f);
    EXPECT_EQ(childIds(tree.node(5)), std::make_pair(5u, 3u));
    EXPECT_EQ(tree.node(5).metric(), 70.0f / 3.0f);
    EXPECT_EQ(childIds(tree.node(6)), std::make_pair(6u, 4u));
    EXPECT_EQ(tree.node(6).metric(), 37.5f);
    EXPECT_EQ(tree.root()->ccps(), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(ids(tree.node(1).neighbors()), (std::vector<uint32_t>{1, 4, 3}));
    EXPECT_EQ(ids(tree.node(2).neighbors()), (std::vector<uint32_t>{4, 5}));
    EXPECT_TRUE(tree.root()->neighbors().empty());
}

TEST(BinaryPartitionTree, NewerNodeIsFirstChildOnEqualLevels) {
    BinaryPartitionTree tree = makeTree({5, 5, 5}, {1, 2, 3}, 1, 3);
    EXPECT_EQ(childIds(tree.node(3)), std::make_pair(1u, 2u));
    EXPECT_EQ(childIds(*tree.root()), std::make_pair(4u, 3u));
}

TEST(BinaryPartitionTree, SparseLabelsUseTheHashedIndex) {
    const std::vector<uint32_t> labels = {4000000000u, 7, 4000000000u, 7, 99, 99};
    BinaryPartitionTree tree = makeTree({1, 2, 3, 4, 5, 6}, labels, 2, 3);
    EXPECT_EQ(ids(tree.nodes()), (std::vector<uint32_t>{7, 99, 4000000000u, 4000000001u, 4000000002u}));
    EXPECT_EQ(tree.node(2).ccps(), (std::vector<uint32_t>{0, 2}));
}

TEST(BinaryPartitionTree, InputChecks) {
    const std::vector<uint8_t> image(6);
    const std::vector<uint32_t> labels = {0, 0, 0, 0, 0, 0};
    auto message = [&](ImageView iv, LabelView lv) -> std::string {
        try {
            BinaryPartitionTree tree(iv, lv, DissimilarityType::Mean);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(message({image.data(), 2, 3}, {labels.data(), 3, 2}), kShapeMismatchMessage);
    EXPECT_EQ(message({image.data(), 0, 3}, {labels.data(), 0, 3}), kEmptyImageMessage);
    const std::vector<uint32_t> wrapping = {0xFFFFFFFFu, 0, 0, 0, 0, 0};
    EXPECT_EQ(message({image.data(), 2, 3}, {wrapping.data(), 2, 3}), kLabelRangeMessage);
    const std::vector<uint32_t> fitting = {0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFDu, 0xFFFFFFFDu, 0xFFFFFFFDu,
                                           0xFFFFFFFDu};
    EXPECT_EQ(message({image.data(), 2, 3}, {fitting.data(), 2, 3}), "");
}

TEST(BinaryPartitionTree, InvariantsOnRandomMaps) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        const uint32_t rows = 1 + rng() % 30, cols = 1 + rng() % 30;
        const uint32_t numLabels = 1 + rng() % 25;
        std::vector<uint8_t> image(rows * cols);
        std::vector<uint32_t> labels(rows * cols);
        for (auto& v : image) v = uint8_t(rng() % 4 * 60);
        for (auto& l : labels) l = rng() % numLabels * 3;
        BinaryPartitionTree tree = makeTree(image, labels, rows, cols);

        std::vector<uint32_t> all = tree.root()->ccps();
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), size_t(rows) * cols);
        for (uint32_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i);

        size_t activeCount = 0;
        for (size_t k = 0; k < tree.numNodes(); ++k) {
            const NodeBPT& node = tree.node(k);
            activeCount += node.active();
            EXPECT_EQ(node.active(), node.parent() == nullptr);
            if (k > 0) EXPECT_GT(node.id(), tree.node(k - 1).id());
            const std::vector<uint32_t> pixels = node.ccps();
            ASSERT_EQ(pixels.size(), node.numPixels());
            double sum = 0;
            for (uint32_t p : pixels) sum += image[p];
            if (tree.numNodes() > 1) EXPECT_NEAR(node.metric(), sum / pixels.size(), 1e-3);
            if (node.isLeaf()) {
                EXPECT_TRUE(std::is_sorted(pixels.begin(), pixels.end()));
                continue;
            }
            std::vector<uint32_t> joined = node.first()->ccps();
            const std::vector<uint32_t> second = node.second()->ccps();
            joined.insert(joined.end(), second.begin(), second.end());
            EXPECT_EQ(pixels, joined);
            EXPECT_EQ(node.first()->parent(), &node);
            EXPECT_EQ(node.top(), std::min(node.first()->top(), node.second()->top()));
            EXPECT_EQ(node.right(), std::max(node.first()->right(), node.second()->right()));
        }
        EXPECT_EQ(activeCount, 1u);
    }
}
