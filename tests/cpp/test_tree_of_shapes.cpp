// The tree of shapes in plain C++: a worked example, every pixel type giving
// one tree for the same order of levels, bad input, and Ctrl-C.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/shapes/tree_of_shapes.hpp"

using namespace vexa;

namespace {

template <typename T>
ShapesTreeArrays shapesOf(const std::vector<T>& pixels, PixelType type, uint32_t depth, uint32_t height, uint32_t width,
                          ShapesPadding padding) {
    AnyImage image;
    image.data = pixels.data();
    image.type = type;
    image.grid.depth = depth;
    image.grid.height = height;
    image.grid.width = width;
    return buildTreeOfShapes(image, depth > 1 ? 3 : 2, padding);
}

// A bright ring around a dark hole holding a bright dot, on a middle background.
std::vector<int> ringImage() {
    std::vector<int> image(49, 5);
    for (int y = 1; y < 6; ++y)
        for (int x = 1; x < 6; ++x) image[y * 7 + x] = (y >= 2 && y <= 4 && x >= 2 && x <= 4) ? 0 : 9;
    image[3 * 7 + 3] = 7;
    return image;
}

TEST(TreeOfShapes, NestsRingHoleAndDotUnderThePadding) {
    const std::vector<int> ring = ringImage();
    const std::vector<uint8_t> bytes(ring.begin(), ring.end());
    const ShapesTreeArrays tree = shapesOf(bytes, PixelType::UInt8, 1, 7, 7, ShapesPadding::Zero);
    EXPECT_EQ(tree.parents, (std::vector<uint32_t>{ShapesTreeArrays::kNoParent, 0, 1, 2, 3}));
    EXPECT_EQ(tree.altitudes, (std::vector<unsigned char>{0, 5, 9, 0, 7}));
    EXPECT_EQ(tree.pixelNode[0], 1u);
    EXPECT_EQ(tree.pixelNode[3 * 7 + 3], 4u);
    EXPECT_EQ(tree.pixelNode[2 * 7 + 2], 3u);
    // The same levels as floats (ranked, not read directly) give the same tree.
    const std::vector<double> doubles(ring.begin(), ring.end());
    const ShapesTreeArrays ranked = shapesOf(doubles, PixelType::Float64, 1, 7, 7, ShapesPadding::Zero);
    EXPECT_EQ(ranked.parents, tree.parents);
    EXPECT_EQ(ranked.pixelNode, tree.pixelNode);
    std::vector<double> levels(ranked.parents.size());
    std::memcpy(levels.data(), ranked.altitudes.data(), ranked.altitudes.size());
    EXPECT_EQ(levels, (std::vector<double>{0, 5, 9, 0, 7}));
}

TEST(TreeOfShapes, RefusesNaNAndEmptyImagesAndStopsWhenAsked) {
    std::vector<float> image(12, 1.0f);
    image[5] = std::nanf("");
    EXPECT_THROW(shapesOf(image, PixelType::Float32, 1, 3, 4, ShapesPadding::Mean), std::invalid_argument);
    EXPECT_THROW(shapesOf(image, PixelType::Float32, 1, 0, 4, ShapesPadding::Mean), std::invalid_argument);
    std::vector<uint16_t> large(512 * 512, 3);
    setInterruptCheck([] { return true; });
    EXPECT_THROW(shapesOf(large, PixelType::UInt16, 1, 512, 512, ShapesPadding::None), Interrupted);
    setInterruptCheck(nullptr);
    EXPECT_EQ(shapesOf(large, PixelType::UInt16, 1, 512, 512, ShapesPadding::None).parents.size(), 1u);
}

}  // namespace
