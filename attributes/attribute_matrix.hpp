#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace vexa {

// Columns of the attribute table, fixed for the whole library.
enum Attribute : uint32_t { AREA = 0, VOLUME = 1, HEIGHT = 2, WIDTH = 3, RECTANGULARITY = 4 };
constexpr uint32_t NUM_ATTRIBUTES = 5;
constexpr std::array<const char*, NUM_ATTRIBUTES> kAttributeNames = {"AREA", "VOLUME", "HEIGHT", "WIDTH",
                                                                     "RECTANGULARITY"};

// Dense row-major node-by-attribute table of doubles; the row of a node is its
// id. Sizes and positions are 64-bit so that no node count can wrap them.
class AttributeMatrix {
public:
    // An owned table; all entries start at 0.
    AttributeMatrix(uint64_t numRows, uint64_t numCols);
    // A table over numRows x numCols zeros that the caller owns and keeps alive,
    // so that a result buffer can be filled in place instead of copied.
    AttributeMatrix(double* zeros, uint64_t numRows, uint64_t numCols);
    AttributeMatrix(const AttributeMatrix&) = delete;
    AttributeMatrix& operator=(const AttributeMatrix&) = delete;

    // Bounds-tested entry; throws std::out_of_range outside the table.
    // Inline: the processors make every access through it.
    double& at(uint64_t row, uint64_t col) {
        check(row, col);
        return values_[row * numCols_ + col];
    }
    double at(uint64_t row, uint64_t col) const {
        check(row, col);
        return values_[row * numCols_ + col];
    }

    uint64_t numRows() const { return numRows_; }
    uint64_t numCols() const { return numCols_; }
    double* data() { return values_; }
    const double* data() const { return values_; }

private:
    void check(uint64_t row, uint64_t col) const {
        if (row >= numRows_ || col >= numCols_) throwOutOfRange();
    }
    [[noreturn]] static void throwOutOfRange();

    uint64_t numRows_;
    uint64_t numCols_;
    std::vector<double> owned_;  // empty when the caller owns the entries
    double* values_;
};

}  // namespace vexa
