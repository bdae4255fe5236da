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
    AttributeMatrix matrix(tree.numNodes(), NUM_ATTRIBUTES);
    computeTreeAttributes(tree, matrix);
    // Wrap the table where it lies, then copy it into storage the tensor owns:
    // the matrix dies with this call.
    const at::Tensor view = at::from_blob(matrix.data(), {int64_t(matrix.numRows()), int64_t(matrix.numCols())},
                                          at::TensorOptions().dtype(at::kDouble).device(at::kCPU));
    return AttributesPack(view.clone());
}

}  // namespace vexa
