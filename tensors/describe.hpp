#pragma once
#include <ATen/core/Tensor.h>

#include <string>

namespace vexa::tensors {

// A dtype as torch spells it: "float32", "int64", "bool".
inline std::string dtypeName(c10::ScalarType type) {
    switch (type) {
        case c10::ScalarType::Bool:
            return "bool";
        case c10::ScalarType::Byte:
            return "uint8";
        case c10::ScalarType::Char:
            return "int8";
        case c10::ScalarType::Short:
            return "int16";
        case c10::ScalarType::Int:
            return "int32";
        case c10::ScalarType::Long:
            return "int64";
        case c10::ScalarType::Half:
            return "float16";
        case c10::ScalarType::BFloat16:
            return "bfloat16";
        case c10::ScalarType::Float:
            return "float32";
        case c10::ScalarType::Double:
            return "float64";
        case c10::ScalarType::ComplexFloat:
            return "complex64";
        case c10::ScalarType::ComplexDouble:
            return "complex128";
        default:
            return c10::toString(type);
    }
}

// "float32 tensor of shape (3, 4) on cpu": what an error names as received.
inline std::string describe(const at::Tensor& t) {
    if (!t.defined()) return "an undefined tensor";
    std::string shape;
    for (int64_t s : t.sizes()) shape += (shape.empty() ? "" : ", ") + std::to_string(s);
    return dtypeName(t.scalar_type()) + " tensor of shape (" + shape + ") on " + t.device().str();
}

}  // namespace vexa::tensors
