#include "tensors/jacobian.hpp"

#include <ATen/ATen.h>

#include <stdexcept>

#include "core/trees/jacobian_indices.hpp"
#include "tensors/conversion.hpp"
#include "tensors/device.hpp"

namespace vexa::tensors {

namespace {

at::TensorOptions valueOptions(c10::ScalarType dtype, c10::Device device) {
    return at::TensorOptions(dtype).device(device);
}

}  // namespace

// The index vectors come from our own generators, valid by construction, so
// the unchecked constructors spare a full validation pass over nnz entries.
at::Tensor makeSparseCoo(const std::vector<int64_t>& rowIndices, const std::vector<int64_t>& colIndices, int64_t n,
                         c10::ScalarType dtype, c10::Device device) {
    at::Tensor indices = indexVectorPairToTensor(rowIndices, colIndices, device);
    at::Tensor values = at::ones({int64_t(rowIndices.size())}, valueOptions(dtype, device));
    return at::_sparse_coo_tensor_unsafe(indices, values, {n, n}, valueOptions(dtype, device).layout(at::kSparse));
}

at::Tensor makeSparseCsr(const std::vector<int64_t>& rowOffsets, const std::vector<int64_t>& colIndices, int64_t n,
                         c10::ScalarType dtype, c10::Device device) {
    at::Tensor crow = indexVectorToTensor(rowOffsets, device);
    at::Tensor cols = indexVectorToTensor(colIndices, device);
    at::Tensor values = at::ones({int64_t(colIndices.size())}, valueOptions(dtype, device));
    return at::_sparse_csr_tensor_unsafe(crow, cols, values, {n, n},
                                         valueOptions(dtype, device).layout(at::kSparseCsr));
}

at::Tensor jacobianCoo(MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype) {
    const c10::Device device = parseDevice(deviceStr);
    JacobianIndexCache& cache = tree.jacobianCache;
    if (cache.cooRowIndices.empty() || cache.cooColIndices.empty()) generateSparseCooIndices(tree);
    return makeSparseCoo(cache.cooRowIndices, cache.cooColIndices, int64_t(tree.numNodes()), dtype, device);
}

at::Tensor jacobianCsr(MorphologicalTree& tree, std::string_view deviceStr, c10::ScalarType dtype) {
    const c10::Device device = parseDevice(deviceStr);
    JacobianIndexCache& cache = tree.jacobianCache;
    if (cache.csrRowOffsets.empty() || cache.csrColIndices.empty()) generateSparseCsrIndices(tree);
    return makeSparseCsr(cache.csrRowOffsets, cache.csrColIndices, int64_t(tree.numNodes()), dtype, device);
}

at::Tensor jacobian(MorphologicalTree& tree, std::string_view deviceStr, std::string_view sparseFormat,
                    c10::ScalarType dtype) {
    if (sparseFormat == "coo") return jacobianCoo(tree, deviceStr, dtype);
    if (sparseFormat == "csr") return jacobianCsr(tree, deviceStr, dtype);
    throw std::runtime_error("Formato de matriz esparsa não suportado.");
}

}  // namespace vexa::tensors
