#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "core/trees/jacobian_indices.hpp"
#include "core/trees/max_tree.hpp"
#include "core/trees/min_tree.hpp"

using namespace vexa;

namespace {

using Ids = std::vector<int64_t>;

ImageView view(const std::vector<uint8_t>& pixels, uint32_t rows, uint32_t cols) {
    return ImageView{pixels.data(), rows, cols};
}

struct Coo {
    Ids rows, cols;
};
struct Csr {
    Ids offsets, cols;
};

Coo coo(const MorphologicalTree& tree) {
    Coo c;
    generateCooIndices(tree, c.rows, c.cols);
    return c;
}

Csr csr(const MorphologicalTree& tree) {
    Csr c;
    generateCsrIndices(tree, c.offsets, c.cols);
    return c;
}

// COO as the plain definition reads on a tree as built: diagonal, then each
// child of the built children lists followed by its ancestors nearest first.
Coo referenceCoo(const MorphologicalTree& tree) {
    Coo c;
    for (NodeId a = 0; a < tree.numNodes(); ++a) {
        c.rows.push_back(a);
        c.cols.push_back(a);
        for (NodeId child : tree.children(a))
            for (NodeId p = tree.parent(child); p != kNoNode; p = tree.parent(p)) {
                c.rows.push_back(p);
                c.cols.push_back(child);
            }
    }
    return c;
}

// CSR rows as sorted subtrees found through the built children lists.
Csr referenceCsr(const MorphologicalTree& tree) {
    Csr c{{0}, {}};
    for (NodeId a = 0; a < tree.numNodes(); ++a) {
        std::vector<NodeId> queue{a};
        for (size_t k = 0; k < queue.size(); ++k)
            for (NodeId child : tree.children(queue[k])) queue.push_back(child);
        std::sort(queue.begin(), queue.end());
        c.cols.insert(c.cols.end(), queue.begin(), queue.end());
        c.offsets.push_back(int64_t(c.cols.size()));
    }
    return c;
}

// The (row, column) pairs of a CSR pattern in COO order of rows, then columns.
std::vector<std::pair<int64_t, int64_t>> csrPairs(const Csr& c) {
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (size_t r = 0; r + 1 < c.offsets.size(); ++r)
        for (int64_t k = c.offsets[r]; k < c.offsets[r + 1]; ++k) pairs.emplace_back(int64_t(r), c.cols[k]);
    return pairs;
}

std::vector<std::pair<int64_t, int64_t>> sortedPairs(const Coo& c) {
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (size_t k = 0; k < c.rows.size(); ++k) pairs.emplace_back(c.rows[k], c.cols[k]);
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

// 1 x 5 image [0, 1, 2, 0, 3], 4-adjacency: root 0 with the children 1 and 3,
// and 2 the child of 1.
std::vector<uint8_t> kBranchImage = {0, 1, 2, 0, 3};

}  // namespace

TEST(JacobianIndices, OneNodeTree) {
    const std::vector<uint8_t> px = {7};
    MaxTree tree(view(px, 1, 1), 1.0f);
    EXPECT_EQ(coo(tree).rows, Ids{0});
    EXPECT_EQ(coo(tree).cols, Ids{0});
    EXPECT_EQ(csr(tree).offsets, (Ids{0, 1}));
    EXPECT_EQ(csr(tree).cols, Ids{0});
    EXPECT_EQ(ancestorMatrixEntries(tree), 1u);
}

TEST(JacobianIndices, EmptyTree) {
    const std::vector<uint8_t> none;
    MinTree tree(view(none, 0, 5), 1.0f);
    EXPECT_TRUE(coo(tree).rows.empty());
    EXPECT_TRUE(coo(tree).cols.empty());
    EXPECT_EQ(csr(tree).offsets, Ids{0});
    EXPECT_TRUE(csr(tree).cols.empty());
}

TEST(JacobianIndices, RootWithTwoLeaves) {
    const std::vector<uint8_t> px = {1, 5, 3};
    MinTree tree(view(px, 1, 3), 1.0f);
    EXPECT_EQ(coo(tree).rows, (Ids{0, 0, 0, 1, 2}));
    EXPECT_EQ(coo(tree).cols, (Ids{0, 1, 2, 1, 2}));
    EXPECT_EQ(csr(tree).offsets, (Ids{0, 3, 4, 5}));
    EXPECT_EQ(csr(tree).cols, (Ids{0, 1, 2, 1, 2}));
}

TEST(JacobianIndices, Chain) {
    const std::vector<uint8_t> px = {1, 5, 3};
    MaxTree tree(view(px, 1, 3), 1.0f);
    EXPECT_EQ(coo(tree).rows, (Ids{0, 0, 1, 1, 0, 2}));
    EXPECT_EQ(coo(tree).cols, (Ids{0, 1, 1, 2, 2, 2}));
    EXPECT_EQ(csr(tree).offsets, (Ids{0, 3, 5, 6}));
    EXPECT_EQ(csr(tree).cols, (Ids{0, 1, 2, 1, 2, 2}));
    EXPECT_EQ(ancestorMatrixEntries(tree), 6u);
}

TEST(JacobianIndices, CsrRowsAreSortedWhereBreadthFirstOrderIsNot) {
    MaxTree tree(view(kBranchImage, 1, 5), 1.0f);
    ASSERT_EQ(tree.numNodes(), 4u);
    ASSERT_EQ(tree.parents(), (std::vector<NodeId>{kNoNode, 0, 1, 0}));
    EXPECT_EQ(coo(tree).rows, (Ids{0, 0, 0, 1, 1, 0, 2, 3}));
    EXPECT_EQ(coo(tree).cols, (Ids{0, 1, 3, 1, 2, 2, 2, 3}));
    const Csr c = csr(tree);
    EXPECT_EQ(c.offsets, (Ids{0, 4, 6, 7, 8}));
    EXPECT_EQ(c.cols, (Ids{0, 1, 2, 3, 1, 2, 2, 3}));
}

TEST(JacobianIndices, ForestGivesTheDiagonal) {
    const std::vector<uint8_t> px = {3, 1, 4, 1, 5, 9};
    MaxTree tree(view(px, 2, 3), 0.5f);
    ASSERT_EQ(tree.numNodes(), 6u);
    const Ids diagonal = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(coo(tree).rows, diagonal);
    EXPECT_EQ(coo(tree).cols, diagonal);
    EXPECT_EQ(csr(tree).offsets, (Ids{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(csr(tree).cols, diagonal);
}

TEST(JacobianIndices, RandomTreesMatchTheDefinitions) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 12; ++trial) {
        const uint32_t rows = 1 + rng() % 24, cols = 1 + rng() % 24;
        const int levels = trial % 3 == 0 ? 4 : 256;
        std::vector<uint8_t> px(rows * cols);
        for (uint8_t& v : px) v = uint8_t(rng() % levels);
        const float radius = trial % 2 ? 1.5f : 1.0f;
        MaxTree maxTree(view(px, rows, cols), radius);
        MinTree minTree(view(px, rows, cols), radius);
        for (const MorphologicalTree* tree :
             {static_cast<const MorphologicalTree*>(&maxTree), static_cast<const MorphologicalTree*>(&minTree)}) {
            const Coo c = coo(*tree), expectedCoo = referenceCoo(*tree);
            EXPECT_EQ(c.rows, expectedCoo.rows);
            EXPECT_EQ(c.cols, expectedCoo.cols);
            const Csr s = csr(*tree), expectedCsr = referenceCsr(*tree);
            EXPECT_EQ(s.offsets, expectedCsr.offsets);
            EXPECT_EQ(s.cols, expectedCsr.cols);
            EXPECT_EQ(sortedPairs(c), csrPairs(s));
            EXPECT_EQ(ancestorMatrixEntries(*tree), c.rows.size());
        }
    }
}

TEST(JacobianIndices, CacheLayoutsAreFilledIndependently) {
    MaxTree tree(view(kBranchImage, 1, 5), 1.0f);
    generateSparseCooIndices(tree);
    EXPECT_TRUE(tree.jacobianCache.csrRowOffsets.empty());
    generateSparseCsrIndices(tree);
    const JacobianIndexCache first = tree.jacobianCache;
    generateSparseCooIndices(tree);
    generateSparseCsrIndices(tree);
    EXPECT_EQ(tree.jacobianCache.cooRowIndices, first.cooRowIndices);
    EXPECT_EQ(tree.jacobianCache.cooColIndices, first.cooColIndices);
    EXPECT_EQ(tree.jacobianCache.csrRowOffsets, first.csrRowOffsets);
    EXPECT_EQ(tree.jacobianCache.csrColIndices, first.csrColIndices);
}

// Rewritten links: the pattern is that of the forest the links now describe.
TEST(JacobianIndices, RewrittenLinksGiveTheirOwnForest) {
    MaxTree tree(view(kBranchImage, 1, 5), 1.0f);
    tree.setParent(3, 2);        // 3 now hangs below 2
    tree.setParent(1, kNoNode);  // and 1 becomes a second root
    EXPECT_EQ(coo(tree).rows, (Ids{0, 1, 1, 2, 2, 1, 3}));
    EXPECT_EQ(coo(tree).cols, (Ids{0, 1, 2, 2, 3, 3, 3}));
    EXPECT_EQ(csr(tree).offsets, (Ids{0, 1, 4, 6, 7}));
    EXPECT_EQ(csr(tree).cols, (Ids{0, 1, 2, 3, 2, 3, 3}));
    // A link to a larger id that is still acyclic.
    tree.setParent(0, 3);
    EXPECT_EQ(csr(tree).cols, (Ids{0, 0, 1, 2, 3, 0, 2, 3, 0, 3}));
    EXPECT_EQ(sortedPairs(coo(tree)), csrPairs(csr(tree)));
}

TEST(JacobianIndices, CycleIsRefusedAndLeavesNoPartialCache) {
    MaxTree tree(view(kBranchImage, 1, 5), 1.0f);
    generateSparseCooIndices(tree);
    generateSparseCsrIndices(tree);
    tree.setParent(1, 2);  // 1 -> 2 -> 1
    EXPECT_THROW(generateSparseCooIndices(tree), std::runtime_error);
    EXPECT_THROW(generateSparseCsrIndices(tree), std::runtime_error);
    EXPECT_TRUE(tree.jacobianCache.cooRowIndices.empty());
    EXPECT_TRUE(tree.jacobianCache.cooColIndices.empty());
    EXPECT_TRUE(tree.jacobianCache.csrRowOffsets.empty());
    EXPECT_TRUE(tree.jacobianCache.csrColIndices.empty());

    tree.setParent(0, 0);  // a self-loop is a cycle too
    EXPECT_THROW(ancestorMatrixEntries(tree), std::runtime_error);

    tree.setParent(0, kNoNode);
    tree.setParent(1, 0);  // repaired: generation works again
    generateSparseCsrIndices(tree);
    EXPECT_EQ(tree.jacobianCache.csrRowOffsets, (Ids{0, 4, 6, 7, 8}));
}

TEST(JacobianIndices, LinkOutsideTheTreeIsRefused) {
    MaxTree tree(view(kBranchImage, 1, 5), 1.0f);
    tree.setParent(2, 4);
    EXPECT_THROW(generateSparseCooIndices(tree), std::runtime_error);
    EXPECT_TRUE(tree.jacobianCache.cooRowIndices.empty());
}
