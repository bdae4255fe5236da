#pragma once
#include "attributes/attribute_matrix.hpp"
#include "core/trees/morphological_tree.hpp"

namespace vexa {

// Depth-first traversal from `start` through the children lists as built,
// driving attributeProcessors(): enter a node, finish each child in list order
// (widen the child's current parent's box by the child's box, then merge the
// child into that parent), then post-process the node. Fills the rows of the
// subtree and leaves every visited box covering what was merged into it.
// A child whose parent link was cleared is merged into no one.
void computeAttributes(MorphologicalTree& tree, NodeId start, AttributeMatrix& m);

// The same events for a tree whose parent links were never rewritten, ordered
// as one sweep over descending ids instead of a descent (children always have
// larger ids than their parent there). Gives the same table and boxes as
// computeAttributes from every parentless node.
void computeAttributesBySweep(MorphologicalTree& tree, AttributeMatrix& m);

// Fills every row: the traversal from each node that construction left
// without a parent, in ascending id (the root alone, or every pixel's node
// when the adjacency was empty). Uses the sweep when the links allow it.
void computeTreeAttributes(MorphologicalTree& tree, AttributeMatrix& m);

}  // namespace vexa
