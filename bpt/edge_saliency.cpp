#include "bpt/edge_saliency.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/reused_memory.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

namespace {

// The pixels of the tree's nodes joined children first in a union-find
// forest whose links carry the place of their node in that pass.
class MergeStamps {
public:
    MergeStamps(const CheckedTree& tree, const int64_t* pixelToNode, const double* altitudes, uint64_t numPixels)
        : link_(numPixels), rank_(numPixels) {
        const size_t numNodes = tree.size();
        bool identity = true;  // pixel p is node p, as in partition trees from pixels
        for (uint64_t p = 0; p < numPixels; ++p) {
            const int64_t node = pixelToNode[p];  // read once
            if (node < 0 || uint64_t(node) >= numNodes)
                throw std::invalid_argument("pixel_to_node holds node " + std::to_string(node) + " at pixel " +
                                            std::to_string(p) + ", outside 0.." + std::to_string(numNodes - 1));
            identity &= uint64_t(node) == p;
        }
        const bool childrenFirst = tree.order().kind() == ParentsFirst::Kind::Descending;
        if (!(identity && childrenFirst && joinBinary(tree.parents(), altitudes, numPixels)))
            joinAny(tree, pixelToNode, altitudes, numPixels);
    }

    // The altitude of the smallest node holding pixels p != q.
    double saliency(uint32_t p, uint32_t q) const {
        double altitude = 0;
        do {
            const Link& a = link_[p];
            const Link& b = link_[q];
            if (a.stamp < b.stamp) {
                altitude = a.altitude;
                p = a.up;
            } else {
                altitude = b.altitude;
                q = b.up;
            }
        } while (p != q);
        return altitude;
    }

private:
    struct Link {
        uint32_t up;      // parent in the forest, itself for a root
        uint32_t stamp;   // place of the node that linked it; kNoNode for a root
        double altitude;  // that node's altitude
    };

    void reset() {
        for (uint64_t p = 0; p < link_.size(); ++p) link_[p] = {uint32_t(p), kNoNode, 0.0};
        std::fill(rank_.begin(), rank_.end(), 0);
    }

    // Links root x below root `center` for node `node` at place `stamp`.
    void link(uint32_t x, uint32_t center, uint32_t stamp, double altitude, bool& grows) {
        link_[x] = {center, stamp, altitude};
        grows |= rank_[x] == rank_[center];
    }

    // The common case, a binary tree listed children first whose leaves are
    // the pixels: one pass in id order (the place is the id), each node
    // joining its two children's sets as the second arrives. False, with
    // nothing to undo that reset() does not, for any other tree.
    bool joinBinary(Span<NodeId> parents, const double* altitudes, uint64_t numPixels) {
        reset();
        const size_t numNodes = parents.size();
        ReusedVector<uint32_t> root(numNodes);
        ReusedVector<uint8_t> arrived(numNodes, 0);
        for (size_t n = 0; n < numNodes; ++n) root[n] = n < numPixels ? uint32_t(n) : kNoNode;
        InterruptPoll poll;
        for (size_t n = 0; n < numNodes; ++n) {
            poll.step();
            const NodeId p = parents[n];
            if (p == kNoNode) continue;
            if (p < numPixels || ++arrived[p] > 2 || root[n] == kNoNode) return false;
            const uint32_t r = root[n];
            if (root[p] == kNoNode) {
                root[p] = r;
                continue;
            }
            uint32_t center = root[p], other = r;
            if (rank_[other] > rank_[center]) std::swap(center, other);
            bool grows = false;
            link(other, center, p, altitudes[p], grows);
            rank_[center] += grows;
            root[p] = center;
        }
        return true;
    }

    // Any tree: the pixels of each node grouped by node, the children of
    // each from the child lists; the places are those of the pass.
    void joinAny(const CheckedTree& tree, const int64_t* pixelToNode, const double* altitudes, uint64_t numPixels) {
        reset();
        const size_t numNodes = tree.size();
        ReusedVector<uint32_t> start(numNodes + 1, 0), pixels(numPixels);
        for (uint64_t p = 0; p < numPixels; ++p) ++start[pixelToNode[p] + 1];
        for (size_t i = 0; i < numNodes; ++i) start[i + 1] += start[i];
        {
            ReusedVector<uint32_t> next(start.begin(), start.end() - 1);
            for (uint64_t p = 0; p < numPixels; ++p) pixels[next[pixelToNode[p]]++] = uint32_t(p);
        }
        const ChildLists children = childLists(tree.parents());
        ReusedVector<uint32_t> rootOf(numNodes, kNoNode);
        uint32_t stamp = 0;
        InterruptPoll poll;
        tree.order().forEachReversed([&](NodeId node) {
            poll.step();
            // The joined sets: the node's own pixels and its children's
            // sets, all below the one of highest rank (a star: no two links
            // of one place on a path, so places rise strictly upwards).
            uint32_t center = kNoNode;
            auto consider = [&](uint32_t root) {
                if (root != kNoNode && (center == kNoNode || rank_[root] > rank_[center])) center = root;
            };
            for (uint32_t k = start[node]; k < start[node + 1]; ++k) consider(pixels[k]);
            for (NodeId child : children.of(node)) consider(rootOf[child]);
            if (center != kNoNode) {
                bool grows = false;
                auto join = [&](uint32_t root) {
                    if (root != kNoNode && root != center) link(root, center, stamp, altitudes[node], grows);
                };
                for (uint32_t k = start[node]; k < start[node + 1]; ++k) join(pixels[k]);
                for (NodeId child : children.of(node)) join(rootOf[child]);
                rank_[center] += grows;
                rootOf[node] = center;
            }
            ++stamp;
        });
    }

    ReusedVector<Link> link_;     // by pixel
    ReusedVector<uint8_t> rank_;  // by pixel
};

void checkPixels(const CheckedTree& tree, const Grid& grid) {
    if (grid.numPixels() == 0) throw std::invalid_argument("the image has no pixel");
    if (grid.numPixels() >= kNoNode)
        throw std::invalid_argument("the image has " + std::to_string(grid.numPixels()) + " pixels; at most " +
                                    std::to_string(kNoNode - 1) + " are supported");
    if (tree.size() >= kNoNode) throw std::invalid_argument("the tree has too many nodes");
}

}  // namespace

std::vector<ReusedVector<double>> gridEdgeSaliency(const CheckedTree& tree, const int64_t* pixelToNode,
                                                   const double* altitudes, const Grid& grid, int ndim) {
    checkPixels(tree, grid);
    const MergeStamps stamps(tree, pixelToNode, altitudes, grid.numPixels());
    const uint64_t sizes[3] = {grid.depth, grid.height, grid.width};
    const uint64_t strides[3] = {sizes[1] * sizes[2], sizes[2], 1};
    std::vector<ReusedVector<double>> out;
    InterruptPoll poll;
    for (int d = 3 - ndim; d < 3; ++d) {
        uint64_t shortened[3] = {sizes[0], sizes[1], sizes[2]};
        shortened[d] -= 1;
        ReusedVector<double> values(shortened[0] * shortened[1] * shortened[2]);
        double* to = values.data();
        for (uint64_t z = 0; z < shortened[0]; ++z)
            for (uint64_t y = 0; y < shortened[1]; ++y) {
                poll.step(uint32_t(shortened[2]));
                const uint64_t row = z * strides[0] + y * strides[1];
                for (uint64_t x = 0; x < shortened[2]; ++x)
                    *to++ = stamps.saliency(uint32_t(row + x), uint32_t(row + x + strides[d]));
            }
        out.push_back(std::move(values));
    }
    return out;
}

ReusedVector<double> khalimskySaliency(const CheckedTree& tree, const int64_t* pixelToNode, const double* altitudes,
                                       const Grid& grid) {
    checkPixels(tree, grid);
    const MergeStamps stamps(tree, pixelToNode, altitudes, grid.numPixels());
    const uint64_t height = grid.height, width = grid.width, columns = 2 * width - 1;
    ReusedVector<double> out((2 * height - 1) * columns, 0.0);
    InterruptPoll poll;
    for (uint64_t y = 0; y < height; ++y) {
        poll.step(uint32_t(width));
        double* even = out.data() + 2 * y * columns;
        double* odd = even + columns;
        const uint32_t row = uint32_t(y * width);
        for (uint64_t x = 0; x + 1 < width; ++x)
            even[2 * x + 1] = stamps.saliency(row + uint32_t(x), row + uint32_t(x) + 1);
        if (y + 1 == height) break;
        for (uint64_t x = 0; x < width; ++x) odd[2 * x] = stamps.saliency(row + uint32_t(x), row + uint32_t(x + width));
    }
    // The corners: the largest of the four pairs around each.
    for (uint64_t y = 0; y + 1 < height; ++y) {
        double* odd = out.data() + (2 * y + 1) * columns;
        const double* above = odd - columns;
        const double* below = odd + columns;
        for (uint64_t x = 1; x < columns; x += 2)
            odd[x] = std::max(std::max(above[x], below[x]), std::max(odd[x - 1], odd[x + 1]));
    }
    return out;
}

}  // namespace vexa
