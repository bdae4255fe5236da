#include "tensors/tree_tensors.hpp"

#include <ATen/ATen.h>

#include <cstring>

#include "tensors/conversion.hpp"
#include "tensors/device.hpp"

namespace vexa::tensors {

at::Tensor levels(const MorphologicalTree& tree) {
    const std::vector<uint8_t>& source = tree.levels();
    at::Tensor result = at::empty({int64_t(source.size())}, at::TensorOptions(at::kByte));
    if (!source.empty()) std::memcpy(result.data_ptr<uint8_t>(), source.data(), source.size());
    return result;
}

at::Tensor residues(const MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype) {
    const c10::Device device = parseDevice(deviceStr);
    const std::vector<float>& values = tree.nodeResidues();
    return floatVectorToTensor(values, {int64_t(values.size()), 1}, dtype, device);
}

}  // namespace vexa::tensors
