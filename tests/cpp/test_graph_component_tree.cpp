#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/trees/graph_component_tree.hpp"

using namespace vexa;

namespace {

struct Graph {
    std::vector<uint64_t> rank;
    std::vector<uint32_t> u, v;
    std::vector<uint32_t> tree(unsigned threads = 1) const {
        const ReusedVector<uint32_t> parents =
            graphComponentTree(rank.data(), uint32_t(rank.size()), u.data(), v.data(), u.size(), threads);
        return std::vector<uint32_t>(parents.begin(), parents.end());
    }
};

// The vertices reachable from x through vertices of rank at most t.
std::vector<bool> reach(const Graph& g, uint32_t x, uint64_t t) {
    std::vector<bool> seen(g.rank.size(), false);
    std::vector<uint32_t> stack{x};
    seen[x] = true;
    while (!stack.empty()) {
        const uint32_t a = stack.back();
        stack.pop_back();
        for (size_t e = 0; e < g.u.size(); ++e) {
            for (auto [from, to] : {std::pair(g.u[e], g.v[e]), std::pair(g.v[e], g.u[e])}) {
                if (from == a && !seen[to] && g.rank[to] <= t) {
                    seen[to] = true;
                    stack.push_back(to);
                }
            }
        }
    }
    return seen;
}

// The tree from its definition: a vertex's node is its component of the
// vertices up to its rank, named by the highest id of that rank in it; the
// parent node is the component at the next rank that adds a vertex of its own.
std::vector<uint32_t> slowTree(const Graph& g) {
    const uint32_t n = uint32_t(g.rank.size());
    auto canonical = [&](uint32_t x, uint64_t t) -> int64_t {
        const std::vector<bool> seen = reach(g, x, t);
        int64_t best = -1;
        for (uint32_t y = 0; y < n; ++y)
            if (seen[y] && g.rank[y] == t) best = y;
        return best;
    };
    const std::set<uint64_t> levels(g.rank.begin(), g.rank.end());
    std::vector<uint32_t> out(n);
    for (uint32_t x = 0; x < n; ++x) {
        const uint32_t c = uint32_t(canonical(x, g.rank[x]));
        if (c != x) {
            out[x] = c;
            continue;
        }
        out[x] = kNoParent;
        for (auto t = levels.upper_bound(g.rank[x]); t != levels.end(); ++t) {
            const int64_t p = canonical(x, *t);
            if (p >= 0) {
                out[x] = uint32_t(p);
                break;
            }
        }
    }
    return out;
}

}  // namespace

// 0 - 1 - 2 - 3   4 (alone)   ranks 5 1 1 0 | 7, with 1 - 3 too.
TEST(GraphComponentTree, WorkedExample) {
    const Graph g{{5, 1, 1, 0, 7}, {0, 1, 2, 1}, {1, 2, 3, 3}};
    // 3 is a leaf under the node {1, 2} (canonical 2), itself under 0; 4 a root.
    EXPECT_EQ(g.tree(), (std::vector<uint32_t>{kNoParent, 2, 0, 2, kNoParent}));
    // Without edges every vertex is a root; without vertices the tree is empty.
    EXPECT_EQ((Graph{{3, 3}, {}, {}}.tree()), (std::vector<uint32_t>{kNoParent, kNoParent}));
    EXPECT_TRUE((Graph{{}, {}, {}}.tree().empty()));
}

TEST(GraphComponentTree, MatchesItsDefinitionOnRandomGraphs) {
    std::mt19937_64 random(7);
    for (int trial = 0; trial < 200; ++trial) {
        Graph g;
        const uint32_t n = 1 + uint32_t(random() % 25);
        const uint64_t levels = trial % 3 == 0 ? 3 : trial % 3 == 1 ? 40 : ~uint64_t(0);  // ties, few, wide
        for (uint32_t i = 0; i < n; ++i)
            g.rank.push_back(trial % 3 == 2 && i % 2 ? ~uint64_t(0) - random() % 3 : random() % levels);
        const size_t m = random() % (2 * n + 1);
        for (size_t e = 0; e < m; ++e) {
            g.u.push_back(uint32_t(random() % n));
            g.v.push_back(uint32_t(random() % n));  // self-loops and repeats included
        }
        ASSERT_EQ(g.tree(), slowTree(g)) << "trial " << trial;
    }
}

TEST(GraphComponentTree, ThreadsGiveTheSameTree) {
    std::mt19937_64 random(8);
    for (uint64_t levels : {uint64_t(5), uint64_t(1) << 20, ~uint64_t(0)}) {
        Graph g;
        const uint32_t n = 300000;
        for (uint32_t i = 0; i < n; ++i) g.rank.push_back(random() % levels);
        for (uint32_t e = 0; e < 2 * n; ++e) {
            g.u.push_back(uint32_t(random() % n));
            g.v.push_back(e % 2 ? g.u.back() + 1 == n ? 0 : g.u.back() + 1 : uint32_t(random() % n));
        }
        ASSERT_EQ(g.tree(2), g.tree(1)) << levels;
    }
}

TEST(GraphComponentTree, RefusesVertexIdsOutOfRangeAndStopsWhenAsked) {
    const Graph bad{{1, 2}, {0, 1}, {1, 2}};
    try {
        bad.tree();
        FAIL() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("edge 1 joins vertices 1 and 2"), std::string::npos) << e.what();
    }
    Graph chain;
    for (uint32_t i = 0; i < (1u << 20); ++i) {
        chain.rank.push_back(i);
        if (i) chain.u.push_back(i - 1), chain.v.push_back(i);
    }
    setInterruptCheck([] { return true; });
    EXPECT_THROW(chain.tree(), Interrupted);
    setInterruptCheck(nullptr);
}
