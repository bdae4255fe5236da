#pragma once
#include <cstdint>
#include <vector>

#include "core/trees/morphological_tree.hpp"

namespace vexa {

// A handle on one node of a component tree: the tree keeps the data, the
// handle gives it the shape of a node object. Handles live in their tree.
class Node {
public:
    Node() = default;
    Node(MorphologicalTree* tree, NodeId id) : tree_(tree), id_(id) {}

    MorphologicalTree& tree() const { return *tree_; }
    NodeId id() const { return id_; }
    uint8_t level() const { return tree_->level(id_); }
    uint32_t representant() const { return tree_->representant(id_); }
    int32_t residue() const { return tree_->residue(id_); }

    // nullptr for a node without parent.
    Node* parent() const;
    // Re-points the parent link; the new parent must belong to the same tree.
    void setParent(Node* parent);
    std::vector<Node*> children() const;

    std::vector<uint32_t> pixelsOfCC() const { return tree_->pixelsOfCC(id_); }

    uint32_t top() const { return tree_->box(id_).top; }
    uint32_t left() const { return tree_->box(id_).left; }
    uint32_t bottom() const { return tree_->box(id_).bottom; }
    uint32_t right() const { return tree_->box(id_).right; }

private:
    MorphologicalTree* tree_ = nullptr;
    NodeId id_ = 0;
};

}  // namespace vexa
