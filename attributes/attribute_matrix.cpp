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
    : numRows_(numRows), numCols_(numCols), owned_(entryCount(numRows, numCols), 0.0), values_(owned_.data()) {}

AttributeMatrix::AttributeMatrix(double* zeros, uint64_t numRows, uint64_t numCols)
    : numRows_(numRows), numCols_(numCols), values_(zeros) {
    entryCount(numRows, numCols);
}

void AttributeMatrix::throwOutOfRange() { throw std::out_of_range("AttributeMatrix access out of range"); }

}  // namespace vexa
