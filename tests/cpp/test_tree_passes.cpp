#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/trees/checked_tree.hpp"
#include "core/trees/tree_passes.hpp"

using namespace vexa;

namespace {

// The same tree in two numberings: parents first (root 0) and children first
// (root last, id 6 - i). Parents first: 0 has children 1 and 2, 1 has 3 and
// 4, 2 has 5, and 5 has 6.
const std::vector<int64_t> kParentsFirst{-1, 0, 0, 1, 1, 2, 5};
std::vector<int64_t> childrenFirst() {
    std::vector<int64_t> parents(7);
    for (int i = 0; i < 7; ++i) parents[6 - i] = kParentsFirst[i] < 0 ? -1 : 6 - kParentsFirst[i];
    return parents;
}

template <typename Op>
std::vector<double> subtreeOf(const CheckedTree& tree, std::vector<double> values) {
    combineIntoParents<Op>(tree.parents(), tree.order(), values.data(), 1);
    return values;
}

// (nodeMap, newParents) of simplify.
std::pair<std::vector<int64_t>, std::vector<int64_t>> simplified(const CheckedTree& tree,
                                                                 const std::vector<char>& keep) {
    std::vector<int64_t> nodeMap(tree.size());
    const bool* k = reinterpret_cast<const bool*>(keep.data());
    std::vector<int64_t> parents(rankKept(tree.parents(), k, nodeMap.data()));
    simplifyRanked(tree.parents(), tree.order(), parents.data(), nodeMap.data());
    return {nodeMap, parents};
}

std::string refusal(const std::vector<int64_t>& parents) {
    try {
        CheckedTree(parents.data(), parents.size());
    } catch (const InvalidParents& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(TreePasses, WorkedExampleInBothOrders) {
    const std::vector<double> byNode{1, 2, 3, 4, 5, 6, 7};  // value of node i (parents-first ids)
    for (bool reversed : {false, true}) {
        const std::vector<int64_t> parents = reversed ? childrenFirst() : kParentsFirst;
        auto id = [&](int i) { return reversed ? 6 - i : i; };
        std::vector<double> values(7);
        for (int i = 0; i < 7; ++i) values[id(i)] = byNode[i];
        const CheckedTree tree(parents.data(), parents.size());
        EXPECT_EQ(tree.root(), NodeId(id(0)));

        const std::vector<double> sums = subtreeOf<SumOf>(tree, values), maxima = subtreeOf<MaxOf>(tree, values),
                                  minima = subtreeOf<MinOf>(tree, values);
        const std::vector<double> expectedSums{28, 11, 16, 4, 5, 13, 7};
        const std::vector<double> expectedMax{7, 5, 7, 4, 5, 7, 7};
        std::vector<uint32_t> sizes(7);
        subtreeSizes(tree.parents(), tree.order(), sizes.data());
        const std::vector<uint32_t> expectedSizes{7, 3, 3, 1, 1, 2, 1};
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(sums[id(i)], expectedSums[i]);
            EXPECT_EQ(maxima[id(i)], expectedMax[i]);
            EXPECT_EQ(minima[id(i)], byNode[i]);  // values grow downwards
            EXPECT_EQ(sizes[id(i)], expectedSizes[i]);
        }

        std::vector<double> childMax(7);
        std::vector<uint32_t> count(7);
        combineChildren<MaxOf>(tree.parents(), values.data(), 1, childMax.data(), count.data());
        EXPECT_EQ(childMax[id(0)], 3);
        EXPECT_EQ(childMax[id(1)], 5);
        EXPECT_EQ(childMax[id(5)], 7);
        EXPECT_EQ(count[id(3)], 0u);
        EXPECT_EQ(childMax[id(3)], -std::numeric_limits<double>::infinity());

        // Keep 3 and 5: 1, 2 and 6 fold into their nearest kept ancestors.
        std::vector<char> keep(7, 0);
        keep[id(3)] = keep[id(5)] = 1;
        std::vector<int64_t> nearest(7);
        nearestKept(tree.parents(), tree.order(), reinterpret_cast<const bool*>(keep.data()), true, nearest.data());
        const std::vector<int> expectedNearest{0, 0, 0, 3, 0, 5, 5};
        for (int i = 0; i < 7; ++i) EXPECT_EQ(nearest[id(i)], id(expectedNearest[i]));

        const auto [nodeMap, newParents] = simplified(tree, keep);
        // Kept nodes by id: parents first 0, 3, 5 -> 0, 1, 2; children first 1 (5), 3 (3), 6 (0) -> 0, 1, 2.
        const std::vector<int64_t> expectedParents =
            reversed ? std::vector<int64_t>{2, 2, -1} : std::vector<int64_t>{-1, 0, 0};
        EXPECT_EQ(newParents, expectedParents);
        for (int i = 0; i < 7; ++i) {
            const int64_t kept = id(expectedNearest[i]);
            const int64_t rank = reversed ? (kept == 1 ? 0 : kept == 3 ? 1 : 2) : (kept == 0 ? 0 : kept == 3 ? 1 : 2);
            EXPECT_EQ(nodeMap[id(i)], rank);
        }
    }
}

TEST(TreePasses, NaNWinsInMinAndMax) {
    const std::vector<int64_t> parents{-1, 0, 0};
    const CheckedTree tree(parents.data(), parents.size());
    const double nan = std::nan("");
    for (const std::vector<double>& values : {std::vector<double>{1, nan, 2}, std::vector<double>{1, 2, nan}}) {
        EXPECT_TRUE(std::isnan(subtreeOf<MinOf>(tree, values)[0]));
        EXPECT_TRUE(std::isnan(subtreeOf<MaxOf>(tree, values)[0]));
    }
}

TEST(TreePasses, AgainstBruteForceOnRandomTrees) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const size_t n = 1 + rng() % 40;
        // A random tree with parents first, then its ids shuffled (any order).
        std::vector<int64_t> up(n, -1);
        for (size_t i = 1; i < n; ++i) up[i] = int64_t(rng() % i);
        std::vector<int64_t> relabel(n);
        for (size_t i = 0; i < n; ++i) relabel[i] = int64_t(i);
        if (trial % 3 == 1) std::reverse(relabel.begin(), relabel.end());
        if (trial % 3 == 2) std::shuffle(relabel.begin(), relabel.end(), rng);
        std::vector<int64_t> parents(n);
        for (size_t i = 0; i < n; ++i) parents[relabel[i]] = up[i] < 0 ? -1 : relabel[up[i]];
        const CheckedTree tree(parents.data(), n);

        std::vector<double> values(n);
        std::vector<char> keep(n);
        for (size_t i = 0; i < n; ++i) {
            values[i] = double(int(rng() % 100) - 50);
            keep[i] = rng() % 3 == 0;
        }
        auto isAncestorOrSelf = [&](size_t a, size_t i) {
            for (int64_t p = int64_t(i); p >= 0; p = parents[p])
                if (size_t(p) == a) return true;
            return false;
        };
        const std::vector<double> sums = subtreeOf<SumOf>(tree, values), lows = subtreeOf<MinOf>(tree, values);
        std::vector<int64_t> nearest(n);
        nearestKept(tree.parents(), tree.order(), reinterpret_cast<const bool*>(keep.data()), true, nearest.data());
        const auto [nodeMap, newParents] = simplified(tree, keep);
        std::vector<int64_t> rank(n, -1);
        int64_t kept = 0;
        for (size_t i = 0; i < n; ++i)
            if (keep[i] || parents[i] < 0) rank[i] = kept++;
        ASSERT_EQ(newParents.size(), size_t(kept));
        for (size_t a = 0; a < n; ++a) {
            double sum = 0, low = values[a];
            for (size_t i = 0; i < n; ++i)
                if (isAncestorOrSelf(a, i)) sum += values[i], low = std::min(low, values[i]);
            EXPECT_EQ(sums[a], sum);
            EXPECT_EQ(lows[a], low);
            int64_t k = int64_t(a);
            while (!keep[k] && parents[k] >= 0) k = parents[k];
            EXPECT_EQ(nearest[a], k);
            EXPECT_EQ(nodeMap[a], rank[k]);
            if (rank[a] >= 0) {
                int64_t above = parents[a];
                while (above >= 0 && !keep[above] && parents[above] >= 0) above = parents[above];
                EXPECT_EQ(newParents[rank[a]], above < 0 ? -1 : rank[above]);
            }
        }
    }
}

TEST(TreePasses, CheckedTreeRefusesWhatIsNotOneTree) {
    EXPECT_NE(refusal({}).find("empty"), std::string::npos);
    EXPECT_NE(refusal({-1, 0, -1}).find("2 roots"), std::string::npos);
    EXPECT_NE(refusal({-1, 2, 1}).find("cycle through node"), std::string::npos);
    EXPECT_NE(refusal({-1, 3}).find("parents[1] is 3"), std::string::npos);
    EXPECT_EQ(refusal({2, 2, -1}), "");
}
