#include "tensors/conversion.hpp"

#include <ATen/ATen.h>

#include "core/runtime/reused_memory.hpp"

namespace vexa::tensors {

namespace {

// A tensor viewing v without copying it; only ever a source of copies.
template <typename T>
at::Tensor borrow(const std::vector<T>& v, c10::ScalarType type) {
    return at::from_blob(const_cast<T*>(v.data()), {int64_t(v.size())}, at::TensorOptions(type));
}

}  // namespace

at::Tensor floatVectorToTensor(const std::vector<float>& values, c10::IntArrayRef shape, c10::ScalarType dtype,
                               c10::Device device) {
    // copy=true: even float32 on the CPU must not alias the tree's vector.
    at::Tensor flat = values.empty()
                          ? at::empty({0}, at::TensorOptions(dtype).device(device))
                          : borrow(values, at::kFloat).to(device, dtype, /*non_blocking=*/false, /*copy=*/true);
    return flat.reshape(shape);
}

at::Tensor indexVectorToTensor(const std::vector<int64_t>& values, c10::Device device) {
    at::Tensor result = at::empty({int64_t(values.size())}, at::TensorOptions(at::kLong).device(device));
    if (!values.empty()) result.copy_(borrow(values, at::kLong));
    return result;
}

at::Tensor indexVectorPairToTensor(const std::vector<int64_t>& first, const std::vector<int64_t>& second,
                                   c10::Device device) {
    TORCH_CHECK(first.size() == second.size(), "index vectors of different lengths");
    at::Tensor result = at::empty({2, int64_t(first.size())}, at::TensorOptions(at::kLong).device(device));
    if (!first.empty()) {
        result.select(0, 0).copy_(borrow(first, at::kLong));
        result.select(0, 1).copy_(borrow(second, at::kLong));
    }
    return result;
}

at::Tensor emptyReused(c10::IntArrayRef shape, c10::ScalarType dtype) {
    const size_t bytes = size_t(c10::multiply_integers(shape)) * c10::elementSize(dtype);
    void* data = takeMemory(bytes);
    return at::from_blob(
        data, shape, [bytes](void* block) { giveBackMemory(block, bytes); },
        at::TensorOptions().dtype(dtype).device(at::kCPU));
}

}  // namespace vexa::tensors
