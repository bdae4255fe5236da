#pragma once
#include "core/trees/morphological_tree.hpp"

namespace vexa {

// Tree of the upper level sets: the brightest level is processed first.
class MaxTree : public MorphologicalTree {
public:
    static bool brighterFirst(uint32_t a, uint32_t b) { return uint8_t(a) > uint8_t(b); }
    MaxTree(const ImageView& image, float radius, unsigned bands = 0)
        : MorphologicalTree(image, radius, LevelComparator{&brighterFirst}, bands) {}
};

}  // namespace vexa
