#include "core/trees/subtree_extents.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/trees/parent_array.hpp"

namespace vexa {

void checkParentsBeforeChildren(const int64_t* parents, size_t numNodes) {
    if (numNodes > kNoNode)  // node ids are 32-bit
        throw std::invalid_argument("too many nodes: " + std::to_string(numNodes));
    for (size_t i = 0; i < numNodes; ++i)
        if (parents[i] < -1 || parents[i] >= int64_t(i))
            throw std::invalid_argument("parents must list every parent before its children: node " +
                                        std::to_string(i) + " has parent " + std::to_string(parents[i]));
}

template <typename T>
void subtreeExtremes(const int64_t* parents, size_t numNodes, const T* values, bool highest, int64_t* out) {
    checkParentsBeforeChildren(parents, numNodes);
    for (size_t i = 0; i < numNodes; ++i) out[i] = int64_t(i);
    InterruptPoll poll;
    ParentsFirst::ascending(numNodes).forEachReversed([&](NodeId i) {  // ids only grow away from the root
        if (parents[i] < 0) return;
        const int64_t a = out[i], b = out[parents[i]];
        const bool beyond = highest ? values[a] > values[b] : values[a] < values[b];
        if (beyond || (values[a] == values[b] && a > b)) out[parents[i]] = a;
        poll.step();
    });
}

template void subtreeExtremes<float>(const int64_t*, size_t, const float*, bool, int64_t*);
template void subtreeExtremes<double>(const int64_t*, size_t, const double*, bool, int64_t*);

void subtreeBoxes(const int64_t* pixelNode, const Grid& grid, int ndim, const int64_t* parents, size_t numNodes,
                  int64_t* out) {
    checkParentsBeforeChildren(parents, numNodes);
    const size_t row = size_t(ndim) * 2;
    for (size_t i = 0; i < numNodes; ++i)
        for (int a = 0; a < ndim; ++a) {
            out[i * row + 2 * a] = INT64_MAX;
            out[i * row + 2 * a + 1] = -1;
        }
    InterruptPoll poll;
    uint64_t p = 0;
    for (uint32_t z = 0; z < grid.depth; ++z)
        for (uint32_t y = 0; y < grid.height; ++y) {
            for (uint32_t x = 0; x < grid.width; ++x, ++p) {
                const int64_t node = pixelNode[p];
                if (node < 0 || uint64_t(node) >= numNodes)
                    throw std::invalid_argument("pixel_to_node holds " + std::to_string(node) + ", outside 0.." +
                                                std::to_string(numNodes) + "-1");
                int64_t* box = out + size_t(node) * row;
                const int64_t coords[3] = {z, y, x};
                for (int a = 0; a < ndim; ++a) {
                    const int64_t v = coords[3 - ndim + a];
                    box[2 * a] = std::min(box[2 * a], v);
                    box[2 * a + 1] = std::max(box[2 * a + 1], v);
                }
            }
            poll.step(grid.width);
        }
    ParentsFirst::ascending(numNodes).forEachReversed([&](NodeId i) {
        if (parents[i] < 0) return;
        int64_t* to = out + size_t(parents[i]) * row;
        const int64_t* from = out + i * row;
        for (int a = 0; a < ndim; ++a) {
            to[2 * a] = std::min(to[2 * a], from[2 * a]);
            to[2 * a + 1] = std::max(to[2 * a + 1], from[2 * a + 1]);
        }
    });
}

}  // namespace vexa
