#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <typeinfo>

#include "attributes/attribute_matrix.hpp"
#include "attributes/attribute_processors.hpp"
#include "attributes/compute_attributes.hpp"
#include "attributes/node_info.hpp"
#include "core/trees/max_tree.hpp"
#include "core/trees/min_tree.hpp"

using namespace vexa;

namespace {

ImageView view(const std::vector<uint8_t>& pixels, uint32_t rows, uint32_t cols) {
    return ImageView{pixels.data(), rows, cols};
}

using Row = std::vector<double>;

Row row(const AttributeMatrix& m, NodeId id) {
    Row r;
    for (uint32_t c = 0; c < NUM_ATTRIBUTES; ++c) r.push_back(m.at(id, c));
    return r;
}

using Table = std::vector<Row>;

const Row& row(const Table& table, NodeId id) { return table.at(id); }

Table extract(MorphologicalTree& tree) {
    AttributeMatrix m(tree.numNodes(), NUM_ATTRIBUTES);
    computeTreeAttributes(tree, m);
    Table table;
    for (NodeId id = 0; id < tree.numNodes(); ++id) table.push_back(row(m, id));
    return table;
}

std::array<uint32_t, 4> boxOf(const MorphologicalTree& tree, NodeId id) {
    const Box& b = tree.box(id);
    return {b.top, b.left, b.bottom, b.right};
}

std::unique_ptr<MorphologicalTree> randomTree(std::mt19937& rng, bool isMax, float radius, std::vector<uint8_t>& img,
                                              uint32_t& rows, uint32_t& cols) {
    rows = 1 + rng() % 12;
    cols = 1 + rng() % 12;
    img.resize(rows * cols);
    const int levels = 2 + rng() % 8;
    for (auto& v : img) v = uint8_t(rng() % levels * 31);
    if (isMax) return std::make_unique<MaxTree>(view(img, rows, cols), radius);
    return std::make_unique<MinTree>(view(img, rows, cols), radius);
}

}  // namespace

TEST(AttributeMatrix, StartsAtZeroAndTestsBounds) {
    AttributeMatrix m(3, 5);
    EXPECT_EQ(m.numRows(), 3u);
    EXPECT_EQ(m.numCols(), 5u);
    for (uint64_t r = 0; r < 3; ++r)
        for (uint64_t c = 0; c < 5; ++c) EXPECT_EQ(m.at(r, c), 0.0);
    m.at(2, 4) = 7.5;
    EXPECT_EQ(m.data()[14], 7.5);
    EXPECT_THROW(m.at(3, 0), std::out_of_range);
    EXPECT_THROW(m.at(0, 5), std::out_of_range);
    try {
        m.at(uint64_t(1) << 40, 0);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "AttributeMatrix access out of range");
    }
    EXPECT_EQ(AttributeMatrix(0, 5).numRows(), 0u);
    // Over entries the caller owns.
    double zeros[10] = {};
    AttributeMatrix borrowed(zeros, 2, 5);
    borrowed.at(1, 2) = 4;
    EXPECT_EQ(zeros[7], 4);
    EXPECT_THROW(borrowed.at(2, 0), std::out_of_range);
    // An entry count that 64 bits cannot hold is refused, never wrapped.
    EXPECT_THROW(AttributeMatrix(uint64_t(1) << 62, 5), std::bad_alloc);
}

TEST(Processors, ListIsFilledOnceInItsOrder) {
    const ProcessorList& list = attributeProcessors();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(typeid(*list[0]), typeid(Area));
    EXPECT_EQ(typeid(*list[1]), typeid(Volume));
    EXPECT_EQ(typeid(*list[2]), typeid(Dimensions));
    EXPECT_EQ(typeid(*list[3]), typeid(Rectangularity));
    const IncrementalAttributesProcessor* first = list[0].get();
    EXPECT_EQ(&attributeProcessors(), &list);
    EXPECT_EQ(attributeProcessors()[0].get(), first);
}

TEST(Attributes, WorkedExampleMaxTree) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    EXPECT_EQ(boxOf(tree, 0), (std::array<uint32_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(boxOf(tree, 1), (std::array<uint32_t, 4>{0, 2, 0, 2}));
    const Table m = extract(tree);
    EXPECT_EQ(row(m, 0), (Row{3, 9, 1, 3, 1}));
    EXPECT_EQ(row(m, 1), (Row{2, 8, 1, 2, 1}));
    EXPECT_EQ(row(m, 2), (Row{1, 5, 1, 1, 1}));
    EXPECT_EQ(boxOf(tree, 0), (std::array<uint32_t, 4>{0, 0, 0, 2}));
    EXPECT_EQ(boxOf(tree, 1), (std::array<uint32_t, 4>{0, 1, 0, 2}));
    EXPECT_EQ(boxOf(tree, 2), (std::array<uint32_t, 4>{0, 1, 0, 1}));
}

TEST(Attributes, EmptyAdjacencyFillsEveryPixelsRow) {
    const std::vector<uint8_t> img = {4, 0, 250, 4, 4, 17};
    MaxTree tree(view(img, 2, 3), 0.5f);
    ASSERT_EQ(tree.numNodes(), 6u);
    const Table m = extract(tree);
    for (NodeId id = 0; id < 6; ++id) EXPECT_EQ(row(m, id), (Row{1, double(tree.level(id)), 1, 1, 1})) << id;
    // The same through the descent from every parentless node.
    tree.setParent(0, kNoNode);
    AttributeMatrix again(6, NUM_ATTRIBUTES);
    computeTreeAttributes(tree, again);
    for (NodeId id = 0; id < 6; ++id) EXPECT_EQ(row(again, id), row(m, id));
}

TEST(Attributes, NodeBeyondTheTableIsRefused) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    AttributeMatrix small(2, NUM_ATTRIBUTES);
    EXPECT_THROW(computeAttributes(tree, 0, small), std::out_of_range);
    EXPECT_THROW(computeTreeAttributes(tree, small), std::out_of_range);
}

// A child whose link was cleared is merged into no one, and boxes follow the
// same rule.
TEST(Attributes, ClearedParentLink) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    tree.setParent(2, kNoNode);
    const Table m = extract(tree);
    EXPECT_EQ(row(m, 2), (Row{1, 5, 1, 1, 1}));
    EXPECT_EQ(row(m, 1), (Row{1, 3, 1, 1, 1}));
    EXPECT_EQ(row(m, 0), (Row{2, 4, 1, 3, 2.0 / 3.0}));
    EXPECT_EQ(boxOf(tree, 1), (std::array<uint32_t, 4>{0, 2, 0, 2}));
}

// A child re-pointed to a node visited later: its merge lands before that
// node is entered, whose own entry then overwrites AREA and VOLUME, while the
// widened box stays.
TEST(Attributes, LinkToANodeVisitedLater) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MinTree tree(view(img, 1, 3), 1.0f);  // root 0 (level 5), children 1 (level 3), 2 (level 1)
    tree.setParent(1, 2);
    const Table m = extract(tree);
    EXPECT_EQ(row(m, 1), (Row{1, 3, 1, 1, 1}));
    EXPECT_EQ(row(m, 2), (Row{1, 1, 1, 3, 1.0 / 3.0}));
    EXPECT_EQ(row(m, 0), (Row{2, 6, 1, 3, 2.0 / 3.0}));
}

TEST(Attributes, SelfLinksAndCyclesEndAndStayFinite) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    tree.setParent(2, 2);
    tree.setParent(0, 1);
    const Table m = extract(tree);
    EXPECT_EQ(row(m, 2), (Row{2, 10, 1, 1, 1}));  // merged into itself once
    EXPECT_EQ(row(m, 1), (Row{1, 3, 1, 1, 1}));
    EXPECT_EQ(row(m, 0), (Row{2, 4, 1, 3, 2.0 / 3.0}));  // the start node merges nowhere

    std::mt19937 rng(99);
    for (int round = 0; round < 50; ++round) {
        std::vector<uint8_t> pixels;
        uint32_t rows, cols;
        auto t = randomTree(rng, round % 2, 1.5f, pixels, rows, cols);
        const NodeId n = NodeId(t->numNodes());
        for (int k = 0; k < 4; ++k) {
            const NodeId id = rng() % n, target = rng() % (n + 1);
            t->setParent(id, target == n ? kNoNode : target);
        }
        const Table a = extract(*t);
        for (NodeId id = 0; id < n; ++id) {
            for (double v : row(a, id)) EXPECT_TRUE(std::isfinite(v) && v >= 0);
            EXPECT_GE(row(a, id)[AREA], 1.0);
        }
    }
}

// The sweep over ids and the descent give the same table and boxes.
class RandomAttributes : public ::testing::TestWithParam<std::tuple<bool, float>> {};

TEST_P(RandomAttributes, SweepEqualsDescent) {
    const auto [isMax, radius] = GetParam();
    std::mt19937 rng(isMax * 77 + int(radius * 10));
    for (int round = 0; round < 25; ++round) {
        std::vector<uint8_t> img;
        uint32_t rows, cols;
        auto swept = randomTree(rng, isMax, radius, img, rows, cols);
        std::unique_ptr<MorphologicalTree> descended;
        if (isMax) descended = std::make_unique<MaxTree>(view(img, rows, cols), radius);
        else descended = std::make_unique<MinTree>(view(img, rows, cols), radius);
        AttributeMatrix a(swept->numNodes(), NUM_ATTRIBUTES), b(descended->numNodes(), NUM_ATTRIBUTES);
        computeAttributesBySweep(*swept, a);
        for (NodeId start : descended->parentlessAtConstruction()) computeAttributes(*descended, start, b);
        for (NodeId id = 0; id < swept->numNodes(); ++id) {
            EXPECT_EQ(row(a, id), row(b, id));
            EXPECT_EQ(boxOf(*swept, id), boxOf(*descended, id));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothKindsAndRadii, RandomAttributes,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0.5f, 1.0f, 1.5f, 2.0f)));

TEST(NodeInfo, WorkedExampleAndKeyOrder) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    const NodeInfo info = nodeInfo(tree, 1);
    std::vector<std::string> keys;
    for (const auto& [key, value] : info) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"Area", "CNPs", "Children", "Id", "Level", "ParentId", "PixelsOfCC",
                                              "Residue"}));
    EXPECT_EQ(info.at("Id"), NodeInfoValue(std::in_place_index<0>, 1u));
    EXPECT_EQ(info.at("Level"), NodeInfoValue(std::in_place_index<1>, uint8_t(3)));
    EXPECT_EQ(info.at("Residue"), NodeInfoValue(std::in_place_index<3>, 2));
    EXPECT_EQ(info.at("ParentId"), NodeInfoValue(std::in_place_index<0>, 0u));
    EXPECT_EQ(info.at("Children"), NodeInfoValue(std::vector<uint32_t>{2}));
    EXPECT_EQ(info.at("PixelsOfCC"), NodeInfoValue(std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(info.at("CNPs"), NodeInfoValue(std::vector<uint32_t>{2}));
    EXPECT_EQ(info.at("Area"), NodeInfoValue(std::in_place_index<2>, uint64_t(2)));
}
