#include "tensors/tree_arrays.hpp"

#include <ATen/ATen.h>

#include "bpt/binary_partition_tree.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/threads.hpp"
#include "core/trees/component_forest.hpp"

namespace vexa::tensors {

at::Tensor parentIds(const MorphologicalTree& tree) {
    const std::vector<NodeId>& parents = tree.parents();
    at::Tensor out = at::empty({int64_t(parents.size())}, at::kLong);
    int64_t* ids = out.data_ptr<int64_t>();
    for (size_t i = 0; i < parents.size(); ++i) ids[i] = parents[i] == kNoNode ? -1 : int64_t(parents[i]);
    return out;
}

at::Tensor pixelNodeIds(const MorphologicalTree& tree) {
    const auto& owner = tree.pixelToNodeId();
    at::Tensor out = at::empty({int64_t(tree.numRows()), int64_t(tree.numCols())}, at::kLong);
    int64_t* ids = out.data_ptr<int64_t>();
    // Memory-bound: large maps are widened in slices on the thread budget.
    const size_t n = owner.size();
    const unsigned threads = n >= kParallelPixels ? threadBudget() : 1;
    forEachRange(n, threads, threads, [&](size_t, uint64_t begin, uint64_t end) {
        for (uint64_t i = begin; i < end; ++i) ids[i] = owner[i];
    });
    return out;
}

at::Tensor parentIndices(const BinaryPartitionTree& tree) {
    at::Tensor out = at::empty({int64_t(tree.numNodes())}, at::kLong);
    int64_t* ids = out.data_ptr<int64_t>();
    for (size_t k = 0; k < tree.numNodes(); ++k) {
        const NodeBPT* parent = tree.node(k).parent();
        ids[k] = parent ? int64_t(tree.indexOf(*parent)) : -1;
    }
    return out;
}

at::Tensor pixelLeafIndices(const BinaryPartitionTree& tree) {
    at::Tensor out = at::empty({int64_t(tree.numRows()), int64_t(tree.numCols())}, at::kLong);
    int64_t* leaf = out.data_ptr<int64_t>();
    for (size_t k = 0; k < tree.numNodes(); ++k)
        for (uint32_t p : tree.node(k).leafPixels()) leaf[p] = int64_t(k);
    return out;
}

}  // namespace vexa::tensors
