#include "bpt/dissimilarity.hpp"

#include <cmath>
#include <stdexcept>

#include "bpt/node_bpt.hpp"

namespace vexa {

float DissimilarityProcessor::computeMetric(const uint8_t* image, const NodeBPT& node) const {
    const std::vector<uint32_t> pixels = node.ccps();
    return computeMetric(image, Span<uint32_t>(pixels.data(), pixels.size()));
}

float DissimilarityProcessor::dissimilarity(const NodeBPT& a, const NodeBPT& b) const {
    return dissimilarity(a.metric(), b.metric());
}

// Sizes are taken as 32-bit counts, as the tree keeps them.
float DissimilarityProcessor::mergeMetric(const NodeBPT& a, const NodeBPT& b) const {
    return mergeMetric(a.metric(), uint32_t(a.numPixels()), b.metric(), uint32_t(b.numPixels()));
}

float MeanLevel::dissimilarity(float metricA, float metricB) const {
    const float difference = metricA - metricB;
    return std::fabs(difference);
}

float MeanLevel::computeMetric(const uint8_t* image, Span<uint32_t> pixels) const {
    // Added one by one in list order: the float sum rounds after every step.
    float sum = 0.0f;
    for (uint32_t p : pixels) sum += float(image[p]);
    return sum / float(pixels.size());
}

float MeanLevel::mergeMetric(float metricA, uint32_t sizeA, float metricB, uint32_t sizeB) const {
    const uint32_t n = sizeA + sizeB;  // wraps as a 32-bit count
    const float weightedA = float(sizeA) * metricA;
    const float weightedB = float(sizeB) * metricB;
    const float total = weightedA + weightedB;
    return total / float(n);
}

void checkDissimilarityType(DissimilarityType type) {
    if (type != DissimilarityType::Mean) throw std::runtime_error("Tipo de dissimilaridade desconhecida.");
}

std::unique_ptr<DissimilarityProcessor> makeDissimilarityProcessor(DissimilarityType type) {
    checkDissimilarityType(type);
    return std::make_unique<MeanLevel>();
}

}  // namespace vexa
