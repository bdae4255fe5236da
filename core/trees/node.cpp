#include "core/trees/node.hpp"

#include <stdexcept>

namespace vexa {

Node* Node::parent() const {
    const NodeId p = tree_->parent(id_);
    return p == kNoNode ? nullptr : &tree_->node(p);
}

void Node::setParent(Node* parent) {
    if (parent == nullptr) {
        tree_->setParent(id_, kNoNode);
        return;
    }
    if (parent->tree_ != tree_) throw std::runtime_error("The parent must be a node of the same tree.");
    tree_->setParent(id_, parent->id_);
}

std::vector<Node*> Node::children() const {
    std::vector<Node*> result;
    const Span<NodeId> ids = tree_->children(id_);
    result.reserve(ids.size());
    for (NodeId c : ids) result.push_back(&tree_->node(c));
    return result;
}

}  // namespace vexa
