#include "attributes/attribute_matrix.hpp"

#include <limits>
#include <new>
#include <stdexcept>

namespace vexa {

namespace {

uint64_t entryCount(uint64_t rows, uint64_t cols) {
    if (cols != 0 && rows > std::numeric_limits<uint64_t>::max() / cols) throw std::bad_alloc();
    return rows * cols;
}

}  // namespace

AttributeMatrix::AttributeMatrix(uint64_t numRows, uint64_t numCols)
    : numRows_(numRows), numCols_(numCols), values_(entryCount(numRows, numCols), 0.0) {}

void AttributeMatrix::check(uint64_t row, uint64_t col) const {
    if (row >= numRows_ || col >= numCols_) throw std::out_of_range("AttributeMatrix access out of range");
}

double& AttributeMatrix::at(uint64_t row, uint64_t col) {
    check(row, col);
    return values_[row * numCols_ + col];
}

double AttributeMatrix::at(uint64_t row, uint64_t col) const {
    check(row, col);
    return values_[row * numCols_ + col];
}

}  // namespace vexa
