#pragma once
#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>
#include <c10/util/ArrayRef.h>

#include <cstdint>
#include <vector>

// Tree-held vectors made into tensors that own their storage: results may
// outlive the tree and be written to without reaching it.
namespace vexa::tensors {

// A dense tensor of the given shape (row-major), dtype and device holding the
// values, converted the way Tensor.to(device, dtype) converts.
at::Tensor floatVectorToTensor(const std::vector<float>& values, c10::IntArrayRef shape, c10::ScalarType dtype,
                               c10::Device device);

// A one-dimensional int64 tensor on the device holding a copy of the values.
at::Tensor indexVectorToTensor(const std::vector<int64_t>& values, c10::Device device);

// A (2, n) int64 tensor on the device whose rows are copies of two vectors of
// length n: the two index tensors stacked, written in place to spare the
// intermediate copies that large sparse patterns cannot afford.
at::Tensor indexVectorPairToTensor(const std::vector<int64_t>& first, const std::vector<int64_t>& second,
                                   c10::Device device);

// An uninitialised contiguous CPU tensor whose memory comes from the blocks
// kept for reuse (core/runtime/reused_memory.hpp) and returns there when freed:
// results the size of an image, made on every training step.
at::Tensor emptyReused(c10::IntArrayRef shape, c10::ScalarType dtype);

}  // namespace vexa::tensors
