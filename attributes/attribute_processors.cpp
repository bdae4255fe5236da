#include "attributes/attribute_processors.hpp"

namespace vexa {

void Area::preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const {
    m.at(node, AREA) = double(uint64_t(tree.cnps(node).size()));
}

void Area::mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const {
    const NodeId parent = tree.parent(child);
    if (parent == kNoNode) return;
    const double childArea = m.at(child, AREA);
    m.at(parent, AREA) = childArea + m.at(parent, AREA);
}

void Volume::preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const {
    // AREA still holds the compact pixel count here, all of them at this level.
    m.at(node, VOLUME) = double(tree.level(node)) * m.at(node, AREA);
}

void Volume::mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const {
    const NodeId parent = tree.parent(child);
    if (parent == kNoNode) return;
    const double childVolume = m.at(child, VOLUME);
    m.at(parent, VOLUME) = childVolume + m.at(parent, VOLUME);
}

void Dimensions::postProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const {
    const Box& b = tree.box(node);
    m.at(node, HEIGHT) = double(uint32_t(b.bottom + 1 - b.top));
    m.at(node, WIDTH) = double(uint32_t(b.right + 1 - b.left));
}

void Rectangularity::postProcessing(const MorphologicalTree&, NodeId node, AttributeMatrix& m) const {
    const double boxArea = m.at(node, HEIGHT) * m.at(node, WIDTH);
    m.at(node, RECTANGULARITY) = m.at(node, AREA) / boxArea;
}

const ProcessorList& attributeProcessors() {
    static ProcessorList processors;
    if (processors.empty()) {
        processors.push_back(std::make_unique<Area>());
        processors.push_back(std::make_unique<Volume>());
        processors.push_back(std::make_unique<Dimensions>());
        processors.push_back(std::make_unique<Rectangularity>());
    }
    return processors;
}

}  // namespace vexa
