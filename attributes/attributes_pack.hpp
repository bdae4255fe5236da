#pragma once
#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

#include "attributes/attribute_matrix.hpp"
#include "core/trees/morphological_tree.hpp"

namespace vexa {

// The attribute table of a tree as one (nodes x attributes) float64 CPU
// tensor, with a view per column. Owns its storage; refers to no tree.
class AttributesPack {
public:
    // Throws std::runtime_error for an undefined tensor, one that is not 2-D,
    // or one with fewer than NUM_ATTRIBUTES columns. Keeps a contiguous form.
    explicit AttributesPack(at::Tensor data);

    // Column views, sharing storage with data().
    at::Tensor column(Attribute attribute) const;
    at::Tensor area() const { return column(AREA); }
    at::Tensor volume() const { return column(VOLUME); }
    at::Tensor height() const { return column(HEIGHT); }
    at::Tensor width() const { return column(WIDTH); }
    at::Tensor rectangularity() const { return column(RECTANGULARITY); }

    const at::Tensor& data() const { return data_; }
    uint32_t numNodes() const { return uint32_t(data_.size(0)); }
    uint32_t numAttrs() const { return uint32_t(data_.size(1)); }

    // "AREA", "VOLUME", "HEIGHT", "WIDTH", "RECTANGULARITY".
    static const std::vector<std::string>& attributeNames();

private:
    at::Tensor data_;
};

// Computes every attribute of every node (widening the tree's node boxes to
// their components) and returns the table. A tree without nodes gives (0, 5).
AttributesPack extractAttributes(MorphologicalTree& tree);

}  // namespace vexa
