#pragma once
#include <memory>
#include <vector>

#include "attributes/attribute_matrix.hpp"
#include "core/morphological_tree.hpp"

namespace vexa {

// One attribute computation, split into the three moments of a node's visit.
// A parent's values are built from its children's finished values, never by
// scanning the component's pixels again. Implementations keep no state.
class IncrementalAttributesProcessor {
public:
    // The traversal enters `node`, before any of its descendants.
    virtual void preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const = 0;
    // `child`'s subtree is finished: fold its values into the row of its
    // current parent (nothing when it has none).
    virtual void mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const = 0;
    // Every child of `node` has been merged and its box covers them.
    virtual void postProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const = 0;
    virtual ~IncrementalAttributesProcessor() = default;
};

// AREA: pixel count of the component.
class Area : public IncrementalAttributesProcessor {
public:
    void preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const override;
    void mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const override;
    void postProcessing(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
};

// VOLUME: sum of the component's grey levels. Reads the AREA that Area has
// just written for the same node, so it must come after Area.
class Volume : public IncrementalAttributesProcessor {
public:
    void preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const override;
    void mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const override;
    void postProcessing(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
};

// HEIGHT and WIDTH: extent of the node's box, final once its children merged.
class Dimensions : public IncrementalAttributesProcessor {
public:
    void preProcessing(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
    void mergeChild(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
    void postProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const override;
};

// RECTANGULARITY = AREA / (HEIGHT x WIDTH); must come after Dimensions.
class Rectangularity : public IncrementalAttributesProcessor {
public:
    void preProcessing(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
    void mergeChild(const MorphologicalTree&, NodeId, AttributeMatrix&) const override {}
    void postProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const override;
};

using ProcessorList = std::vector<std::unique_ptr<IncrementalAttributesProcessor>>;

// The process-wide processors, filled on first use with Area, Volume,
// Dimensions and Rectangularity, in that order (later ones read the columns
// earlier ones wrote).
const ProcessorList& attributeProcessors();

}  // namespace vexa
