#include "bpt/linkage.hpp"

#include <stdexcept>

namespace vexa {

Linkage parseLinkage(const std::string& name) {
    if (name == "mean") return Linkage::Mean;
    if (name == "min") return Linkage::Min;
    if (name == "max") return Linkage::Max;
    if (name == "average") return Linkage::Average;
    if (name == "ward") return Linkage::Ward;
    throw std::invalid_argument("unknown linkage '" + name + "'; expected 'mean', 'min', 'max', 'average' or 'ward'");
}

}  // namespace vexa
