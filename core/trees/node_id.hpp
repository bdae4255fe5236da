#pragma once
#include <cstdint>

namespace vexa {

// Node ids of component trees and of the parent arrays of any forest.
using NodeId = uint32_t;
constexpr NodeId kNoNode = 0xFFFFFFFFu;  // "no parent", "no root"

}  // namespace vexa
