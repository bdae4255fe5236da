#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "core/trees/morphological_tree.hpp"

namespace vexa {

// A record value; the order of the alternatives is part of the Python face.
using NodeInfoValue = std::variant<uint32_t,               // "Id", "ParentId"
                                   uint8_t,                // "Level"
                                   uint64_t,               // "Area"
                                   int32_t,                // "Residue"
                                   std::vector<uint32_t>,  // "Children", "PixelsOfCC", "CNPs"
                                   std::string>;           // not produced, kept for the type
// Keys in plain byte order.
using NodeInfo = std::map<std::string, NodeInfoValue>;

// A copy of one node's main data. Parent and residue follow the current
// parent link: a node without one reports ParentId 0 and its own level.
NodeInfo nodeInfo(const MorphologicalTree& tree, NodeId id);

// One record per node, in ascending id.
std::vector<NodeInfo> treeInfo(const MorphologicalTree& tree);

}  // namespace vexa
