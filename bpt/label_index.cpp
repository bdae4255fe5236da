#include "bpt/label_index.hpp"

#include <algorithm>

namespace vexa {

namespace {

constexpr uint32_t kNoLeaf = 0xFFFFFFFFu;

// Calls visit(label) once per run of equal labels in row-major order.
template <typename Visit>
void forEachRun(const LabelView& labels, Visit visit) {
    const uint64_t n = labels.numPixels();
    uint32_t last = labels.data[0];
    visit(last);
    for (uint64_t i = 1; i < n; ++i)
        if (labels.data[i] != last) visit(last = labels.data[i]);
}

}  // namespace

LabelIndex::LabelIndex(const LabelView& labels) {
    const uint64_t n = labels.numPixels();
    uint32_t maxLabel = 0;
    for (uint64_t i = 0; i < n; ++i) maxLabel = std::max(maxLabel, labels.data[i]);
    // A direct table costs at most a few words per pixel.
    if (uint64_t(maxLabel) < 2 * n + 4096) buildTable(labels, maxLabel);
    else buildHash(labels);
}

void LabelIndex::buildTable(const LabelView& labels, uint32_t maxLabel) {
    table_.assign(uint64_t(maxLabel) + 1, kNoLeaf);
    forEachRun(labels, [&](uint32_t label) { table_[label] = 0; });
    uint32_t leaf = 0;
    for (uint64_t label = 0; label <= maxLabel; ++label) {
        if (table_[label] == kNoLeaf) continue;
        table_[label] = leaf++;
        labels_.push_back(uint32_t(label));
    }
}

uint64_t* LabelIndex::slot(uint32_t label) {
    uint64_t i = (uint64_t(label) * 0x9E3779B97F4A7C15ull) >> shift_;
    while (slots_[i] != kEmpty && uint32_t(slots_[i] >> 32) != label) i = (i + 1) & mask_;
    return &slots_[i];
}

uint32_t LabelIndex::find(uint32_t label) const {
    uint64_t i = (uint64_t(label) * 0x9E3779B97F4A7C15ull) >> shift_;
    while (uint32_t(slots_[i] >> 32) != label || slots_[i] == kEmpty) i = (i + 1) & mask_;
    return uint32_t(slots_[i]);
}

void LabelIndex::buildHash(const LabelView& labels) {
    auto rehash = [&](uint64_t capacity) {
        int bits = 4;
        while ((uint64_t(1) << bits) < capacity) ++bits;
        slots_.assign(uint64_t(1) << bits, kEmpty);
        mask_ = (uint64_t(1) << bits) - 1;
        shift_ = 64 - bits;
        for (uint32_t label : labels_) *slot(label) = uint64_t(label) << 32;
    };
    rehash(64);
    forEachRun(labels, [&](uint32_t label) {
        uint64_t* s = slot(label);
        if (*s != kEmpty) return;
        *s = uint64_t(label) << 32;
        labels_.push_back(label);
        if (2 * labels_.size() > slots_.size()) rehash(4 * labels_.size());
    });
    std::sort(labels_.begin(), labels_.end());
    for (uint32_t leaf = 0; leaf < labels_.size(); ++leaf) *slot(labels_[leaf]) = uint64_t(labels_[leaf]) << 32 | leaf;
}

}  // namespace vexa
