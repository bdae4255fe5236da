#pragma once
#include <cstdint>
#include <vector>

#include "core/trees/morphological_tree.hpp"

// Index patterns of the ancestor matrix of a component tree: N x N over node
// ids, with an entry at (a, c) exactly when a is c or an ancestor of c. Its
// transpose maps residues to levels; the matrix itself sums a per-node column
// over each subtree.
//
// The pattern follows the current parent links, so a tree whose links were
// rewritten from Python gets the matrix of the forest those links describe
// (children in ascending id under each parent). Links that close a cycle or
// point outside the tree have no such forest: generation then throws
// std::runtime_error and leaves the layout's vectors empty.
namespace vexa {

// Number of entries: N plus the depth of every node. Throws as above.
uint64_t ancestorMatrixEntries(const MorphologicalTree& tree);

// Coordinate layout. For each node a in ascending id: the diagonal (a, a),
// then for each child c of a in ascending id the entries of column c, its
// ancestors nearest first (rows a, parent of a, ..., root).
void generateCooIndices(const MorphologicalTree& tree, std::vector<int64_t>& rows, std::vector<int64_t>& cols);

// Compressed rows: row a holds a and all its descendants, ascending, in
// cols[offsets[a]..offsets[a + 1]); offsets has N + 1 entries.
void generateCsrIndices(const MorphologicalTree& tree, std::vector<int64_t>& offsets, std::vector<int64_t>& cols);

// Refill one layout of tree.jacobianCache. The layout's previous content is
// discarded first; on any failure (a cycle, exhausted memory) both of its
// vectors are left empty, so no later request can use a partial cache. The
// other layout is never touched.
void generateSparseCooIndices(MorphologicalTree& tree);
void generateSparseCsrIndices(MorphologicalTree& tree);

}  // namespace vexa
