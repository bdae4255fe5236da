#pragma once
#include <ATen/core/Tensor.h>

#include <string>

namespace vexa::tensors {

// "float32 tensor of shape (3, 4) on cpu": what an error names as received.
inline std::string describe(const at::Tensor& t) {
    if (!t.defined()) return "an undefined tensor";
    std::string shape;
    for (int64_t s : t.sizes()) shape += (shape.empty() ? "" : ", ") + std::to_string(s);
    return std::string(c10::toString(t.scalar_type())) + " tensor of shape (" + shape + ") on " + t.device().str();
}

}  // namespace vexa::tensors
