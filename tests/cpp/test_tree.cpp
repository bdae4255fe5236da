#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <tuple>

#include "core/geometry/adjacency.hpp"
#include "core/trees/component_forest.hpp"
#include "core/trees/max_tree.hpp"
#include "core/trees/min_tree.hpp"
#include "core/trees/node.hpp"

using namespace vexa;

namespace {

ImageView view(const std::vector<uint8_t>& pixels, uint32_t rows, uint32_t cols) {
    return ImageView{pixels.data(), rows, cols};
}

std::vector<uint32_t> toVector(Span<uint32_t> s) { return {s.begin(), s.end()}; }

// 2-D steps as (dx, dy) pairs.
using Steps = std::vector<std::pair<int, int>>;
Steps dxdy(const std::vector<GridOffset>& offsets) {
    Steps steps;
    for (const GridOffset& o : offsets) steps.push_back({o.dx, o.dy});
    return steps;
}

}  // namespace

TEST(Adjacency, OffsetsOfUsualRadii) {
    EXPECT_EQ(dxdy(adjacencyOffsets(1.0f)), (Steps{{0, -1}, {-1, 0}, {1, 0}, {0, 1}}));
    EXPECT_EQ(dxdy(adjacencyOffsets(1.5f)),
              (Steps{{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}}));
    EXPECT_EQ(
        dxdy(adjacencyOffsets(2.0f)),
        (Steps{
            {0, -2}, {-1, -1}, {0, -1}, {1, -1}, {-2, 0}, {-1, 0}, {1, 0}, {2, 0}, {-1, 1}, {0, 1}, {1, 1}, {0, 2}}));
    EXPECT_EQ(adjacencyOffsets(std::sqrt(2.0f)).size(), 8u);
}

TEST(Adjacency, RingCountsAndEmptyRadii) {
    const std::vector<std::pair<float, size_t>> cases = {
        {0.5f, 0},       {0.0f, 0},        {-3.0f, 0},       {NAN, 0},         {-INFINITY, 0}, {0.9999996f, 4},
        {0.9999994f, 0}, {1.9999998f, 12}, {2.2360678f, 20}, {2.8284271f, 24}, {3.0f, 28}};
    for (auto [radius, count] : cases) EXPECT_EQ(adjacencyOffsets(radius).size(), count) << radius;
}

TEST(Adjacency, ConnectivityStepsInTheOrderOfRadii) {
    EXPECT_EQ(connectivityOffsets(2, 1), adjacencyOffsets(1.0f));
    EXPECT_EQ(connectivityOffsets(2, 2), adjacencyOffsets(1.5f));
    for (auto [connectivity, count] : {std::pair{1, 6u}, {2, 18u}, {3, 26u}}) {
        const std::vector<GridOffset> steps = connectivityOffsets(3, connectivity);
        EXPECT_EQ(steps.size(), count);
        EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end(), [](const GridOffset& a, const GridOffset& b) {
            return std::tie(a.dz, a.dy, a.dx) < std::tie(b.dz, b.dy, b.dx);
        }));
    }
    // A single row keeps its steps along the row only; a flat volume its 2-D steps.
    EXPECT_EQ(connectivityOffsets(Grid{1, 1, 5}, 2, 2), (std::vector<GridOffset>{{0, 0, -1}, {0, 0, 1}}));
    EXPECT_EQ(connectivityOffsets(Grid{1, 4, 5}, 3, 3), connectivityOffsets(2, 2));
    EXPECT_THROW(connectivityOffsets(2, 3), std::invalid_argument);
    EXPECT_THROW(connectivityOffsets(4, 1), std::invalid_argument);
}

TEST(Adjacency, HugeRadiusIsBoundedByTheImage) {
    EXPECT_EQ(adjacencyOffsets(1e30f, 2, 1).size(), 5u * 3u - 1u);
    EXPECT_EQ(adjacencyOffsets(INFINITY, 0, 0).size(), 0u);
}

TEST(MaxTree, WorkedExampleOneByThree) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    ASSERT_EQ(tree.numNodes(), 3u);
    EXPECT_EQ(tree.rootId(), 0u);
    EXPECT_EQ(tree.levels(), (std::vector<uint8_t>{1, 3, 5}));
    EXPECT_EQ(tree.parents(), (std::vector<NodeId>{kNoNode, 0, 1}));
    EXPECT_EQ(toVector(tree.cnps(1)), (std::vector<uint32_t>{2}));
    EXPECT_EQ(tree.pixelsOfCC(1), (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(tree.pixelsOfCC(0), (std::vector<uint32_t>{0, 2, 1}));
    EXPECT_EQ(tree.nodeResidues(), (std::vector<float>{1, 2, 2}));
    EXPECT_EQ(tree.pixelToNodeId(), (std::vector<uint32_t>{0, 2, 1}));
    const Box& root = tree.box(0);
    EXPECT_EQ(std::vector<uint32_t>({root.top, root.left, root.bottom, root.right}),
              (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST(MinTree, WorkedExampleOneByThree) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MinTree tree(view(img, 1, 3), 1.0f);
    ASSERT_EQ(tree.numNodes(), 3u);
    EXPECT_EQ(tree.levels(), (std::vector<uint8_t>{5, 3, 1}));
    EXPECT_EQ(tree.pixelsOfCC(0), (std::vector<uint32_t>{1, 2, 0}));
    EXPECT_EQ(tree.nodeResidues(), (std::vector<float>{5, -2, -4}));
    EXPECT_EQ(tree.pixelToNodeId(), (std::vector<uint32_t>{2, 0, 1}));
    EXPECT_EQ(tree.children(0).size(), 2u);
}

TEST(MaxTree, ConstantAndEmptyImages) {
    const std::vector<uint8_t> constant(6, 7);
    MaxTree tree(view(constant, 2, 3), 1.5f);
    ASSERT_EQ(tree.numNodes(), 1u);
    EXPECT_EQ(toVector(tree.cnps(0)), (std::vector<uint32_t>{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(tree.representant(0), 5u);

    const std::vector<uint8_t> none;
    MaxTree empty(view(none, 0, 4), 1.0f);
    EXPECT_EQ(empty.numNodes(), 0u);
    EXPECT_EQ(empty.rootId(), kNoNode);
    EXPECT_TRUE(empty.pixelToNodeId().empty());
}

TEST(MaxTree, EmptyAdjacencyMakesAForestOfPixels) {
    const std::vector<uint8_t> img = {4, 9, 4, 1};
    MaxTree tree(view(img, 2, 2), 0.5f);
    ASSERT_EQ(tree.numNodes(), 4u);
    // Processing order 1, 0, 2, 3: the last node created holds the first pixel.
    EXPECT_EQ(tree.rootId(), 3u);
    EXPECT_EQ(tree.representant(3), 1u);
    for (NodeId id = 0; id < 4; ++id) {
        EXPECT_EQ(tree.parent(id), kNoNode);
        EXPECT_EQ(tree.nodeResidues()[id], float(tree.level(id)));
    }
}

TEST(MaxTree, CheckerboardDependsOnRadius) {
    std::vector<uint8_t> img(16);
    for (int i = 0; i < 16; ++i) img[i] = ((i / 4 + i % 4) % 2) ? 200 : 10;
    EXPECT_EQ(MaxTree(view(img, 4, 4), 1.0f).numNodes(), 9u);
    EXPECT_EQ(MaxTree(view(img, 4, 4), 1.5f).numNodes(), 2u);
}

TEST(MaxTree, HugeRadiusEqualsFullAdjacency) {
    std::mt19937 rng(7);
    std::vector<uint8_t> img(7 * 5);
    for (auto& v : img) v = rng() % 6;
    MaxTree huge(view(img, 7, 5), 1e30f);
    MaxTree full(view(img, 7, 5), 10.0f);
    EXPECT_EQ(huge.parents(), full.parents());
    EXPECT_EQ(huge.pixelToNodeId(), full.pixelToNodeId());
    std::set<uint8_t> distinct(img.begin(), img.end());
    EXPECT_EQ(huge.numNodes(), distinct.size());
}

// Naive reference: the component of a node at level v containing pixel p is
// the flood of pixels at or beyond v (in processing order) from p.
class RandomTrees : public ::testing::TestWithParam<std::tuple<bool, float>> {};

TEST_P(RandomTrees, InvariantsHold) {
    const auto [isMax, radius] = GetParam();
    std::mt19937 rng(isMax * 100 + int(radius * 10));
    for (int round = 0; round < 20; ++round) {
        const uint32_t rows = 1 + rng() % 9, cols = 1 + rng() % 9;
        std::vector<uint8_t> img(rows * cols);
        const int levels = 2 + rng() % 6;
        for (auto& v : img) v = uint8_t(rng() % levels * 40);
        std::unique_ptr<MorphologicalTree> tree;
        if (isMax) tree = std::make_unique<MaxTree>(view(img, rows, cols), radius);
        else tree = std::make_unique<MinTree>(view(img, rows, cols), radius);
        const auto before = [&](uint8_t a, uint8_t b) { return isMax ? a > b : a < b; };
        ASSERT_EQ(tree->rootId(), 0u);

        std::vector<int> seen(img.size(), 0);
        for (NodeId id = 0; id < tree->numNodes(); ++id) {
            const NodeId parent = tree->parent(id);
            if (id > 0) {
                ASSERT_LT(parent, id);
                EXPECT_TRUE(before(tree->level(id), tree->level(parent)));
            }
            const Span<uint32_t> cnps = tree->cnps(id);
            EXPECT_EQ(cnps[0], tree->representant(id));
            for (size_t i = 0; i < cnps.size(); ++i) {
                ++seen[cnps[i]];
                EXPECT_EQ(img[cnps[i]], tree->level(id));
                EXPECT_EQ(tree->pixelToNodeId()[cnps[i]], id);
                if (i) {
                    EXPECT_GT(cnps[i - 1], cnps[i]);
                }
            }
            // pixelsOfCC: the flood from the representant, in reverse processing order.
            const std::vector<uint32_t> cc = tree->pixelsOfCC(id);
            std::vector<uint32_t> flood{tree->representant(id)};
            std::vector<bool> in(img.size(), false);
            in[flood[0]] = true;
            const auto offsets = adjacencyOffsets(radius);
            for (size_t k = 0; k < flood.size(); ++k) {
                const uint32_t p = flood[k];
                forEachNeighbour(offsets, p % cols, p / cols, cols, rows, [&](uint32_t q) {
                    if (!in[q] && !before(tree->level(id), img[q])) {
                        in[q] = true;
                        flood.push_back(q);
                    }
                });
            }
            std::sort(flood.begin(), flood.end(), [&](uint32_t a, uint32_t b) {
                if (img[a] != img[b]) return before(img[b], img[a]);
                return a > b;
            });
            EXPECT_EQ(cc, flood);
            EXPECT_EQ(tree->componentSize(id), cc.size());
        }
        for (int count : seen) EXPECT_EQ(count, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(BothKindsAndRadii, RandomTrees,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(1.0f, 1.5f, 2.0f)));

TEST(Node, HandlesAreStableAndParentWritesStayInTheTree) {
    const std::vector<uint8_t> img = {1, 5, 3};
    MaxTree tree(view(img, 1, 3), 1.0f);
    Node& leaf = tree.node(2);
    EXPECT_EQ(&leaf, &tree.node(2));
    EXPECT_EQ(leaf.parent(), &tree.node(1));
    EXPECT_EQ(leaf.residue(), 2);
    leaf.setParent(nullptr);
    EXPECT_EQ(leaf.residue(), 5);
    EXPECT_EQ(tree.node(1).children().size(), 1u);  // children keep their built content
    leaf.setParent(&tree.node(0));
    EXPECT_EQ(leaf.residue(), 4);

    MaxTree other(view(img, 1, 3), 1.0f);
    EXPECT_THROW(leaf.setParent(&other.node(0)), std::runtime_error);
    EXPECT_EQ(leaf.parent(), &tree.node(0));
}

TEST(ImageSize, RefusesWhatThirtyTwoBitsCannotIndex) {
    EXPECT_NO_THROW(checkImageSize(65535, 65537));
    EXPECT_THROW(checkImageSize(65536, 65536), std::runtime_error);
    EXPECT_THROW(checkImageSize(1ull << 32, 1), std::runtime_error);
    EXPECT_NO_THROW(checkImageSize(0, 1ull << 31));
}

TEST(MaxTree, ParentlessAtConstructionSurvivesParentWrites) {
    const std::vector<uint8_t> img = {4, 9, 4, 1};
    MaxTree forest(view(img, 2, 2), 0.5f);
    EXPECT_EQ(forest.parentlessAtConstruction(), (std::vector<NodeId>{0, 1, 2, 3}));
    MaxTree tree(view(img, 2, 2), 1.0f);
    EXPECT_FALSE(tree.parentLinksRewritten());
    tree.setParent(1, kNoNode);
    EXPECT_TRUE(tree.parentLinksRewritten());
    EXPECT_EQ(tree.parentlessAtConstruction(), (std::vector<NodeId>{0}));
}

// Large images are flooded as k bands merged along k - 1 seams, with ids
// assigned per band; the tree must be exactly the one of a single band.
TEST(MaxTree, BandedBuildEqualsSingleBandBuild) {
    std::mt19937 rng(11);
    for (int round = 0; round < 90; ++round) {
        const uint32_t rows = 1 + rng() % 40, cols = 1 + rng() % 20;
        std::vector<uint8_t> img(rows * cols);
        const int levels = 2 + rng() % 8;
        for (auto& v : img) v = uint8_t(rng() % levels * 30);
        const float radius = std::vector<float>{1.0f, 1.5f, 2.0f}[round % 3];
        MaxTree single(view(img, rows, cols), radius, 1);
        MinTree singleMin(view(img, rows, cols), radius, 1);
        for (unsigned bands = 2; bands <= 16; ++bands) {
            MaxTree banded(view(img, rows, cols), radius, bands);
            MinTree bandedMin(view(img, rows, cols), radius, bands);
            for (auto [a, b] :
                 {std::pair<MorphologicalTree*, MorphologicalTree*>{&single, &banded}, {&singleMin, &bandedMin}}) {
                ASSERT_EQ(a->parents(), b->parents()) << round << " bands " << bands;
                ASSERT_EQ(a->levels(), b->levels());
                ASSERT_EQ(a->pixelToNodeId(), b->pixelToNodeId());
                ASSERT_EQ(a->nodeResidues(), b->nodeResidues());
                for (NodeId id = 0; id < a->numNodes(); ++id) {
                    ASSERT_EQ(toVector(a->cnps(id)), toVector(b->cnps(id)));
                    const Box &x = a->box(id), &y = b->box(id);
                    ASSERT_EQ(std::vector<uint32_t>({x.top, x.left, x.bottom, x.right}),
                              std::vector<uint32_t>({y.top, y.left, y.bottom, y.right}));
                }
            }
        }
    }
}

// A photo-like image (smooth waves over large flat regions, a little
// noise): long seams through large regions, where every band count must
// still give the one-band tree.
TEST(MaxTree, BandedBuildOfAPhotoLikeImage) {
    const uint32_t rows = 384, cols = 320;
    std::vector<uint8_t> img(size_t(rows) * cols);
    uint32_t noise = 12345;
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < cols; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double wave = 60 * std::sin(r / 17.0) * std::cos(c / 23.0) + 40 * std::sin((r + c) / 41.0);
            img[size_t(r) * cols + c] = uint8_t(std::lround(wave / 8) * 8 + 128 + (noise >> 30));
        }
    for (float radius : {1.0f, 1.5f}) {
        MaxTree single(view(img, rows, cols), radius, 1);
        MinTree singleMin(view(img, rows, cols), radius, 1);
        for (unsigned bands : {2u, 3u, 5u, 8u, 16u}) {
            MaxTree banded(view(img, rows, cols), radius, bands);
            MinTree bandedMin(view(img, rows, cols), radius, bands);
            EXPECT_EQ(single.parents(), banded.parents()) << bands;
            EXPECT_EQ(single.pixelToNodeId(), banded.pixelToNodeId()) << bands;
            EXPECT_EQ(singleMin.parents(), bandedMin.parents()) << bands;
            EXPECT_EQ(singleMin.pixelToNodeId(), bandedMin.pixelToNodeId()) << bands;
        }
    }
}
