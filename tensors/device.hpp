#pragma once
#include <c10/core/Device.h>

#include <string_view>

namespace vexa::tensors {

// The device named by exactly "cpu", "cuda" or "mps" (byte for byte, no
// index), after checking that its backend is usable. Throws
// std::runtime_error with "CUDA indisponível.", "MPS indisponível." or
// "Dispositivo desconhecido.". Availability is asked on every call.
c10::Device parseDevice(std::string_view deviceStr);

}  // namespace vexa::tensors
