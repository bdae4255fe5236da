#include "bpt/dissimilarity.hpp"

#include <cmath>
#include <stdexcept>

#include "bpt/node_bpt.hpp"

namespace vexa {

float DissimilarityProcessor::computeMetric(const uint8_t* image, const NodeBPT& node) const {
    const std::vector<uint32_t> pixels = node.ccps();
    return computeMetric(image, Span<uint32_t>(pixels.data(), pixels.size()));
}

float MeanLevel::dissimilarity(const NodeBPT& a, const NodeBPT& b) const {
    const float difference = a.metric() - b.metric();
    return std::fabs(difference);
}

float MeanLevel::computeMetric(const uint8_t* image, Span<uint32_t> pixels) const {
    // Added one by one in list order: the float sum rounds after every step.
    float sum = 0.0f;
    for (uint32_t p : pixels) sum += float(image[p]);
    return sum / float(pixels.size());
}

float MeanLevel::mergeMetric(const NodeBPT& a, const NodeBPT& b) const {
    const uint32_t na = uint32_t(a.numPixels());
    const uint32_t nb = uint32_t(b.numPixels());
    const uint32_t n = na + nb;
    const float weightedA = float(na) * a.metric();
    const float weightedB = float(nb) * b.metric();
    const float total = weightedA + weightedB;
    return total / float(n);
}

void checkDissimilarityType(DissimilarityType type) {
    if (type != DissimilarityType::Mean)
        throw std::runtime_error("Tipo de dissimilaridade desconhecida.");
}

std::unique_ptr<DissimilarityProcessor> makeDissimilarityProcessor(DissimilarityType type) {
    checkDissimilarityType(type);
    return std::make_unique<MeanLevel>();
}

}  // namespace vexa
