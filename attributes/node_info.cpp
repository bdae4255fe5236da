#include "attributes/node_info.hpp"

#include <algorithm>

#include "core/runtime/interrupt.hpp"

namespace vexa {

NodeInfo nodeInfo(const MorphologicalTree& tree, NodeId id) {
    const Span<NodeId> children = tree.children(id);
    const Span<uint32_t> cnps = tree.cnps(id);
    std::vector<uint32_t> pixels = tree.pixelsOfCC(id);
    const NodeId parent = tree.parent(id);
    const uint64_t area = pixels.size();

    NodeInfo info;
    info.emplace("Id", uint32_t(id));
    info.emplace("Level", tree.level(id));
    info.emplace("Residue", tree.residue(id));
    info.emplace("ParentId", parent == kNoNode ? uint32_t(0) : uint32_t(parent));
    info.emplace("Children", std::vector<uint32_t>(children.begin(), children.end()));
    info.emplace("PixelsOfCC", std::move(pixels));
    info.emplace("CNPs", std::vector<uint32_t>(cnps.begin(), cnps.end()));
    info.emplace("Area", area);
    return info;
}

std::vector<NodeInfo> treeInfo(const MorphologicalTree& tree) {
    std::vector<NodeInfo> records;
    records.reserve(tree.numNodes());
    // Each record lists its whole component: the work is the sum of their sizes.
    InterruptPoll poll;
    for (NodeId id = 0; id < tree.numNodes(); ++id) {
        records.push_back(nodeInfo(tree, id));
        const uint64_t area = std::get<uint64_t>(records.back().at("Area"));
        poll.step(uint32_t(std::min<uint64_t>(area, 1u << 30)) + 1);
    }
    return records;
}

}  // namespace vexa
