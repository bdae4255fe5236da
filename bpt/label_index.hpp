#pragma once
#include <cstdint>
#include <vector>

namespace vexa {

// A borrowed, dense, row-major label map of unsigned 32-bit labels.
struct LabelView {
    const uint32_t* data = nullptr;
    uint32_t numRows = 0;
    uint32_t numCols = 0;

    uint64_t numPixels() const { return uint64_t(numRows) * numCols; }
};

// The distinct labels of a label map, numbered 0..count-1 in ascending label
// order (the order of the leaves' ids). Small labels are looked up in a
// direct table; a map with labels far above its pixel count uses a hash
// table instead, so memory stays linear in pixels whatever the labels.
class LabelIndex {
public:
    explicit LabelIndex(const LabelView& labels);

    uint32_t size() const { return uint32_t(labels_.size()); }
    // The label of leaf `leaf`.
    uint32_t label(uint32_t leaf) const { return labels_[leaf]; }
    uint32_t maxLabel() const { return labels_.back(); }
    // The leaf of a label that occurs in the map.
    uint32_t operator()(uint32_t label) const { return !table_.empty() ? table_[label] : find(label); }

private:
    static constexpr uint64_t kEmpty = 0xFFFFFFFFull;  // no leaf: low word all ones
    uint32_t find(uint32_t label) const;
    uint64_t* slot(uint32_t label);
    void buildTable(const LabelView& labels, uint32_t maxLabel);
    void buildHash(const LabelView& labels);

    std::vector<uint32_t> labels_;  // distinct labels, ascending
    std::vector<uint32_t> table_;   // direct: label -> leaf
    std::vector<uint64_t> slots_;   // hashed: label << 32 | leaf, linear probing
    uint64_t mask_ = 0;
    int shift_ = 0;
};

}  // namespace vexa
