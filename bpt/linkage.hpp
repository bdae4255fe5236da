#pragma once
#include <cmath>
#include <cstdint>
#include <string>

namespace vexa {

// How the dissimilarity of two adjacent regions is measured when regions are
// merged from a region adjacency graph. Pixel-pair weights (used by Min, Max
// and Average) are Euclidean distances between the values of two adjacent
// pixels that lie in different regions.
enum class Linkage : int32_t {
    Mean,     // distance between the regions' mean values
    Min,      // least pixel-pair weight across the border (single linkage)
    Max,      // greatest pixel-pair weight across the border (complete linkage)
    Average,  // mean pixel-pair weight across the border
    Ward,     // growth of the squared error: nA nB / (nA + nB) |meanA - meanB|^2
};

// The linkage named "mean", "min", "max", "average" or "ward"; throws
// std::invalid_argument naming the received text otherwise.
Linkage parseLinkage(const std::string& name);

// Whether the linkage reads the pixel pairs of a border (else only the
// regions' sizes and sums).
inline bool usesBorderWeights(Linkage linkage) {
    return linkage == Linkage::Min || linkage == Linkage::Max || linkage == Linkage::Average;
}

// The border data of one adjacency: `weight` is the least or greatest
// pixel-pair weight (Min, Max) or their sum (Average), `pairs` the number of
// pixel pairs it gathers. For Min, `first` is the scan index of the first
// pixel pair of least weight (the tie key of single linkage).
struct BorderData {
    double weight = 0.0;
    double pairs = 0.0;
    double first = 0.0;

    void add(Linkage linkage, double pairWeight, double pairCount, double index) {
        if (pairs == 0.0 ||
            (linkage == Linkage::Min && (pairWeight < weight || (pairWeight == weight && index < first)))) {
            weight = pairWeight;
            first = index;
        } else if (linkage == Linkage::Max) {
            weight = std::fmax(weight, pairWeight);
        } else if (linkage == Linkage::Average) {
            weight += pairWeight;
        }
        pairs += pairCount;
    }
    // Absorbs the border data of another adjacency of the same two regions.
    void absorb(Linkage linkage, const BorderData& other) { add(linkage, other.weight, other.pairs, other.first); }
    double dissimilarity(Linkage linkage) const { return linkage == Linkage::Average ? weight / pairs : weight; }
};

// Dissimilarity of two regions from their sizes and per-channel sums
// (Mean and Ward).
inline double regionDissimilarity(Linkage linkage, double sizeA, const double* sumA, double sizeB, const double* sumB,
                                  uint32_t channels) {
    double squared = 0.0;
    for (uint32_t c = 0; c < channels; ++c) {
        const double d = sumA[c] / sizeA - sumB[c] / sizeB;
        squared += d * d;
    }
    if (linkage == Linkage::Ward) return sizeA * sizeB / (sizeA + sizeB) * squared;
    return channels == 1 ? std::fabs(sumA[0] / sizeA - sumB[0] / sizeB) : std::sqrt(squared);
}

// Euclidean distance between two pixel values of `channels` components.
inline double pixelDistance(const double* a, const double* b, uint32_t channels) {
    if (channels == 1) return std::fabs(a[0] - b[0]);
    double squared = 0.0;
    for (uint32_t c = 0; c < channels; ++c) squared += (a[c] - b[c]) * (a[c] - b[c]);
    return std::sqrt(squared);
}

}  // namespace vexa
