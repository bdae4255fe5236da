#pragma once
#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/trees/morphological_tree.hpp"

// The Jacobian of node levels with respect to node residues: the N x N
// ancestor matrix of core/trees/jacobian_indices.hpp as a sparse tensor whose stored
// values are all one. Index patterns are generated into the tree's cache on
// first use and reused; tensors are new on every call and share nothing with
// the cache.
namespace vexa::tensors {

// Sparse COO tensor of size (n, n) from aligned row and column vectors, in
// their order and without coalescing (no pair repeats).
at::Tensor makeSparseCoo(const std::vector<int64_t>& rowIndices, const std::vector<int64_t>& colIndices, int64_t n,
                         c10::ScalarType dtype, c10::Device device);

// Sparse CSR tensor of size (n, n) from n + 1 row offsets and the columns,
// which must be ascending within each row.
at::Tensor makeSparseCsr(const std::vector<int64_t>& rowOffsets, const std::vector<int64_t>& colIndices, int64_t n,
                         c10::ScalarType dtype, c10::Device device);

// The device is checked first: a device error leaves the cache untouched.
at::Tensor jacobianCoo(MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype);
at::Tensor jacobianCsr(MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype);

// jacobianCoo for "coo", jacobianCsr for "csr"; any other format fails with
// "Formato de matriz esparsa não suportado." before the device is looked at.
at::Tensor jacobian(MorphologicalTree& tree, std::string_view deviceStr, std::string_view sparseFormat,
                    c10::ScalarType dtype);

}  // namespace vexa::tensors
