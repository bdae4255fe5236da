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

BinaryPartitionTree makeTree(const std::vector<uint8_t>& image, const std::vector<uint32_t>& labels, uint32_t rows,
                             uint32_t cols) {
    return BinaryPartitionTree(ImageView{image.data(), rows, cols}, LabelView{labels.data(), rows, cols},
                               DissimilarityType::Mean);
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
    const std::vector<uint8_t> image = {10, 10, 10, 30};
    const std::vector<uint32_t> pixels = {0, 1, 2};
    EXPECT_EQ(mean.computeMetric(image.data(), Span<uint32_t>(pixels.data(), pixels.size())), 10.0f);
    EXPECT_TRUE(std::isnan(mean.computeMetric(image.data(), Span<uint32_t>())));
    // Three pixels at 10 and one at 30 make 15.
    EXPECT_EQ(mean.mergeMetric(10.0f, 3, 30.0f, 1), 15.0f);
    EXPECT_EQ(mean.dissimilarity(10.0f, 30.0f), 20.0f);
    EXPECT_EQ(mean.dissimilarity(30.0f, 10.0f), 20.0f);
    // Each product, the sum and the quotient round to float.
    EXPECT_EQ(mean.mergeMetric(0.1f, 7, 0.0f, 0), (7.0f * 0.1f) / 7.0f);

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
        BinaryPartitionTree(ImageView{image.data(), 2, 2}, LabelView{labels.data(), 2, 2}, DissimilarityType(3));
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
    for (auto [d, id] : {std::pair{2.0f, 0u}, {2.0f, 1u}, {1.0f, 2u}, {2.0f, 3u}}) queue.push({d, id, id});
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

TEST(BinaryPartitionTree, SparseLabelsUseTheHashedIndex) {
    const std::vector<uint32_t> labels = {4000000000u, 7, 4000000000u, 7, 99, 99};
    BinaryPartitionTree tree = makeTree({1, 2, 3, 4, 5, 6}, labels, 2, 3);
    EXPECT_EQ(ids(tree.nodes()), (std::vector<uint32_t>{7, 99, 4000000000u, 4000000001u, 4000000002u}));
    EXPECT_EQ(tree.node(2).ccps(), (std::vector<uint32_t>{0, 2}));
    // Active exactly while without a parent.
    for (size_t k = 0; k < tree.numNodes(); ++k) EXPECT_EQ(tree.node(k).active(), tree.node(k).parent() == nullptr);
    EXPECT_TRUE(tree.root()->active());
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
    const std::vector<uint32_t> fitting = {0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFDu,
                                           0xFFFFFFFDu, 0xFFFFFFFDu, 0xFFFFFFFDu};
    EXPECT_EQ(message({image.data(), 2, 3}, {fitting.data(), 2, 3}), "");
}
