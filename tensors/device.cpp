#include "tensors/device.hpp"

#include <ATen/Context.h>
#include <torch/cuda.h>

#include <stdexcept>

namespace vexa::tensors {

c10::Device parseDevice(std::string_view deviceStr) {
    if (deviceStr == "cuda") {
        if (!torch::cuda::is_available()) throw std::runtime_error("CUDA indisponível.");
        return c10::Device(c10::DeviceType::CUDA);
    }
    if (deviceStr == "mps") {
        if (!at::hasMPS()) throw std::runtime_error("MPS indisponível.");
        return c10::Device(c10::DeviceType::MPS);
    }
    if (deviceStr == "cpu") return c10::Device(c10::DeviceType::CPU);
    throw std::runtime_error("Dispositivo desconhecido.");
}

}  // namespace vexa::tensors
