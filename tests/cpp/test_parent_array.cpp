#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/trees/parent_array.hpp"

using namespace vexa;

namespace {

constexpr NodeId R = kNoNode;

std::vector<NodeId> visited(const ParentsFirst& order) {
    std::vector<NodeId> ids;
    order.forEach([&](NodeId i) { ids.push_back(i); });
    return ids;
}

std::string refusal(const std::vector<NodeId>& parents, Roots roots = Roots::AtLeastOne) {
    try {
        checkForest(parents, roots);
    } catch (const InvalidParents& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ParentArray, OrdersPutParentsFirst) {
    EXPECT_EQ(checkForest(std::vector<NodeId>{R, 0, 0, 1}).kind(), ParentsFirst::Kind::Ascending);
    EXPECT_EQ(checkForest(std::vector<NodeId>{1, 3, 3, R}).kind(), ParentsFirst::Kind::Descending);
    const std::vector<NodeId> mixed{2, R, 1, 0, 1};
    const ParentsFirst order = checkForest(mixed);
    EXPECT_EQ(visited(order), (std::vector<NodeId>{1, 2, 0, 3, 4}));
    EXPECT_EQ(depths(mixed, order), (std::vector<uint32_t>{2, 0, 1, 3, 1}));
    EXPECT_TRUE(visited(checkForest(std::vector<NodeId>{})).empty());
}

TEST(ParentArray, RefusalsNameTheOffendingNode) {
    EXPECT_NE(refusal({R, 3, 1, 2}).find("cycle through node 1"), std::string::npos);
    EXPECT_NE(refusal({1, 0}).find("no root"), std::string::npos);
    EXPECT_NE(refusal({R, 5}).find("parent of node 1 is 5"), std::string::npos);
    EXPECT_NE(refusal({R, 0, R}, Roots::ExactlyOne).find("2 roots (node 0, node 2)"), std::string::npos);
    EXPECT_EQ(refusal({R, 0, R}), "");
    const int64_t wide[] = {-1, 0, 2, -7};
    EXPECT_THROW(nodeIdsOf(wide, 4), InvalidParents);
    EXPECT_EQ(nodeIdsOf(wide, 3), (std::vector<NodeId>{R, 0, 2}));
}

TEST(ParentArray, ChildListsAscendAndOffsetsArePrefixSums) {
    const ChildLists lists = childLists(std::vector<NodeId>{R, 0, 0, 1, 0});
    EXPECT_EQ(lists.offsets, (std::vector<uint32_t>{0, 3, 4, 4, 4, 4}));
    EXPECT_EQ(lists.ids, (std::vector<NodeId>{1, 2, 4, 3}));
    std::vector<int64_t> counts{9, 2, 0, 5};
    countsToOffsets(counts);
    EXPECT_EQ(counts, (std::vector<int64_t>{0, 2, 2, 7}));
}

TEST(ParentArray, ChildrenFirstArraysAreReadOnceAndChecked) {
    const std::vector<int64_t> binary{2, 2, 4, 4, -1};
    EXPECT_EQ(childrenFirstNodeIdsOf(binary.data(), binary.size(), 2), (std::vector<NodeId>{2, 2, 4, 4, R}));
    const auto refused = [](std::vector<int64_t> parents) {
        try {
            childrenFirstNodeIdsOf(parents.data(), parents.size(), 2);
        } catch (const InvalidParents& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(refused({1, 0, -1}).find("parents[1] = 0: a parent must come after its node"), std::string::npos);
    EXPECT_NE(refused({3, 3, -1}).find("before 3"), std::string::npos);
    EXPECT_NE(refused({-2}).find("parents[0] = -2"), std::string::npos);
    EXPECT_EQ(refused({3, 3, 3, -1}), "node 3 has more than two children.");
}
