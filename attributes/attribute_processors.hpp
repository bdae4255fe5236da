#pragma once
#include <memory>
#include <vector>

#include "attributes/attribute_matrix.hpp"
#include "core/trees/morphological_tree.hpp"

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

// A node's row of the table as the arithmetic sees it: the processors go
// through the bounds-tested AttributeMatrix::at, the fused sweep of
// compute_attributes.cpp through plain row pointers. Each attribute's
// arithmetic is written once, below, for both.
struct CheckedRow {
    AttributeMatrix& m;
    NodeId node;
    double& operator[](Attribute a) const { return m.at(node, a); }
};
struct PlainRow {
    double* values;
    double& operator[](Attribute a) const { return values[a]; }
};

// The processor of an attribute whose arithmetic is given by Rule's static
// enter / merge / finish; a moment that Rule leaves out does nothing.
template <typename Rule>
class ProcessorOf : public IncrementalAttributesProcessor {
public:
    template <typename Row>
    static void enter(const MorphologicalTree&, NodeId, Row) {}
    template <typename Row>
    static void merge(Row, Row) {}
    template <typename Row>
    static void finish(const Box&, Row) {}

    // The merge of an attribute that sums over the component: the child's
    // entry is read first, then added to the parent's.
    template <Attribute column, typename Row>
    static void addChild(Row child, Row parent) {
        const double childValue = child[column];
        parent[column] = childValue + parent[column];
    }

    void preProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const final {
        Rule::enter(tree, node, CheckedRow{m, node});
    }
    void mergeChild(const MorphologicalTree& tree, NodeId child, AttributeMatrix& m) const final {
        const NodeId parent = tree.parent(child);
        if (parent != kNoNode) Rule::merge(CheckedRow{m, child}, CheckedRow{m, parent});
    }
    void postProcessing(const MorphologicalTree& tree, NodeId node, AttributeMatrix& m) const final {
        Rule::finish(tree.box(node), CheckedRow{m, node});
    }
};

// AREA: pixel count of the component.
class Area : public ProcessorOf<Area> {
public:
    template <typename Row>
    static void enter(const MorphologicalTree& tree, NodeId node, Row row) {
        row[AREA] = double(uint64_t(tree.cnps(node).size()));
    }
    template <typename Row>
    static void merge(Row child, Row parent) {
        addChild<AREA>(child, parent);
    }
};

// VOLUME: sum of the component's grey levels. Reads the AREA that Area has
// just written for the same node (still the compact pixel count, all of them
// at this level), so it must come after Area.
class Volume : public ProcessorOf<Volume> {
public:
    template <typename Row>
    static void enter(const MorphologicalTree& tree, NodeId node, Row row) {
        row[VOLUME] = double(tree.level(node)) * row[AREA];
    }
    template <typename Row>
    static void merge(Row child, Row parent) {
        addChild<VOLUME>(child, parent);
    }
};

// HEIGHT and WIDTH: extent of the node's box, final once its children merged.
class Dimensions : public ProcessorOf<Dimensions> {
public:
    template <typename Row>
    static void finish(const Box& b, Row row) {
        row[HEIGHT] = double(uint32_t(b.bottom + 1 - b.top));
        row[WIDTH] = double(uint32_t(b.right + 1 - b.left));
    }
};

// RECTANGULARITY = AREA / (HEIGHT x WIDTH); must come after Dimensions.
class Rectangularity : public ProcessorOf<Rectangularity> {
public:
    template <typename Row>
    static void finish(const Box&, Row row) {
        const double boxArea = row[HEIGHT] * row[WIDTH];
        row[RECTANGULARITY] = row[AREA] / boxArea;
    }
};

// Every attribute, in the order in which their moments run (later ones read
// the columns earlier ones wrote). Adding an attribute: its column in
// attribute_matrix.hpp, its class above, and its place here.
template <typename... Rules>
struct AttributeList {
    template <typename Row>
    static void enter(const MorphologicalTree& tree, NodeId node, Row row) {
        (Rules::enter(tree, node, row), ...);
    }
    template <typename Row>
    static void merge(Row child, Row parent) {
        (Rules::merge(child, parent), ...);
    }
    template <typename Row>
    static void finish(const Box& box, Row row) {
        (Rules::finish(box, row), ...);
    }
    template <typename List>
    static void makeProcessors(List& list) {
        (list.push_back(std::make_unique<Rules>()), ...);
    }
};
using AllAttributes = AttributeList<Area, Volume, Dimensions, Rectangularity>;

using ProcessorList = std::vector<std::unique_ptr<IncrementalAttributesProcessor>>;

// The process-wide processors, filled on first use with one of each of
// AllAttributes, in its order.
const ProcessorList& attributeProcessors();

}  // namespace vexa
