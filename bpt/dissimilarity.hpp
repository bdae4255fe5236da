#pragma once
#include <cstdint>
#include <memory>

#include "core/span.hpp"

namespace vexa {

class NodeBPT;

// The measures a binary partition tree can merge regions by.
enum class DissimilarityType : int32_t { Mean = 0 };

// A region measure: the metric of a region, of the union of two regions, and
// the dissimilarity of two regions from their metrics.
class DissimilarityProcessor {
public:
    virtual ~DissimilarityProcessor() = default;
    virtual float dissimilarity(const NodeBPT& a, const NodeBPT& b) const = 0;
    // Metric of the region made of `pixels` (linear indices into `image`).
    virtual float computeMetric(const uint8_t* image, Span<uint32_t> pixels) const = 0;
    virtual float mergeMetric(const NodeBPT& a, const NodeBPT& b) const = 0;

    // Metric of a node's region, read from its pixel list.
    float computeMetric(const uint8_t* image, const NodeBPT& node) const;
};

// Mean grey level, in float32 arithmetic throughout: every sum, product and
// quotient is rounded to float, so results do not depend on the compiler's
// choice of wider registers. (x86-64 without FMA never fuses the products of
// mergeMetric; build without -mfma to keep it so.)
class MeanLevel final : public DissimilarityProcessor {
public:
    float dissimilarity(const NodeBPT& a, const NodeBPT& b) const override;
    float computeMetric(const uint8_t* image, Span<uint32_t> pixels) const override;
    float mergeMetric(const NodeBPT& a, const NodeBPT& b) const override;
    using DissimilarityProcessor::computeMetric;
};

// The processor of a measure; throws std::runtime_error for an unknown one.
std::unique_ptr<DissimilarityProcessor> makeDissimilarityProcessor(DissimilarityType type);

// Throws the unknown-measure error unless `type` names a measure.
void checkDissimilarityType(DissimilarityType type);

}  // namespace vexa
