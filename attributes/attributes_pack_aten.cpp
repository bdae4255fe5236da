#include <ATen/ATen.h>

#include <stdexcept>

#include "attributes/attributes_pack.hpp"
#include "attributes/compute_attributes.hpp"

namespace vexa {

AttributesPack::AttributesPack(at::Tensor data) {
    if (!data.defined()) throw std::runtime_error("Attributes tensor is not defined.");
    if (data.dim() != 2) throw std::runtime_error("Attributes tensor must be 2D (nodes x attributes).");
    if (data.size(1) < int64_t(NUM_ATTRIBUTES)) throw std::runtime_error("Attributes tensor has insufficient columns.");
    data_ = data.is_contiguous() ? std::move(data) : data.contiguous();
}

at::Tensor AttributesPack::column(Attribute attribute) const { return data_.select(1, int64_t(attribute)); }

const std::vector<std::string>& AttributesPack::attributeNames() {
    static const std::vector<std::string> names(kAttributeNames.begin(), kAttributeNames.end());
    return names;
}

AttributesPack extractAttributes(MorphologicalTree& tree) {
    // The table is filled in place in the storage of the tensor that the pack
    // will own: nothing to copy afterwards, and no second table in memory.
    at::Tensor data = at::zeros({int64_t(tree.numNodes()), int64_t(NUM_ATTRIBUTES)},
                                at::TensorOptions().dtype(at::kDouble).device(at::kCPU));
    AttributeMatrix matrix(data.data_ptr<double>(), tree.numNodes(), NUM_ATTRIBUTES);
    computeTreeAttributes(tree, matrix);
    return AttributesPack(std::move(data));
}

}  // namespace vexa
