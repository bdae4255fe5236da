#pragma once
#include <cstdint>
#include <memory>

#include "core/runtime/span.hpp"

namespace vexa {

class NodeBPT;

// The measures a binary partition tree can merge regions by.
enum class DissimilarityType : int32_t { Mean = 0 };

// A region measure: the metric of a region, of the union of two regions, and
// the dissimilarity of two regions. Past its pixels, a region is known to the
// measure by its metric and its pixel count, which the tree keeps in compact
// arrays while it merges.
class DissimilarityProcessor {
public:
    virtual ~DissimilarityProcessor() = default;
    virtual float dissimilarity(float metricA, float metricB) const = 0;
    // Metric of the region made of `pixels` (linear indices into `image`).
    virtual float computeMetric(const uint8_t* image, Span<uint32_t> pixels) const = 0;
    // Metric of the union of two disjoint regions.
    virtual float mergeMetric(float metricA, uint32_t sizeA, float metricB, uint32_t sizeB) const = 0;

    // The same, from nodes.
    float dissimilarity(const NodeBPT& a, const NodeBPT& b) const;
    float computeMetric(const uint8_t* image, const NodeBPT& node) const;
    float mergeMetric(const NodeBPT& a, const NodeBPT& b) const;
};

// Mean grey level, in float32 arithmetic throughout: every sum, product and
// quotient is rounded to float, so results do not depend on the compiler's
// choice of wider registers. (x86-64 without FMA never fuses the products of
// mergeMetric; build without -mfma to keep it so.)
class MeanLevel final : public DissimilarityProcessor {
public:
    float dissimilarity(float metricA, float metricB) const override;
    float computeMetric(const uint8_t* image, Span<uint32_t> pixels) const override;
    float mergeMetric(float metricA, uint32_t sizeA, float metricB, uint32_t sizeB) const override;
    using DissimilarityProcessor::computeMetric;
    using DissimilarityProcessor::dissimilarity;
    using DissimilarityProcessor::mergeMetric;
};

// The processor of a measure; throws std::runtime_error for an unknown one.
std::unique_ptr<DissimilarityProcessor> makeDissimilarityProcessor(DissimilarityType type);

// Throws the unknown-measure error unless `type` names a measure.
void checkDissimilarityType(DissimilarityType type);

}  // namespace vexa
