#pragma once
#include "core/trees/morphological_tree.hpp"

namespace vexa {

// Tree of the lower level sets: the darkest level is processed first.
class MinTree : public MorphologicalTree {
public:
    static bool darkerFirst(uint32_t a, uint32_t b) { return uint8_t(a) < uint8_t(b); }
    MinTree(const ImageView& image, float radius, unsigned bands = 0)
        : MorphologicalTree(image, radius, LevelComparator{&darkerFirst}, bands) {}
};

}  // namespace vexa
