#include "python/numpy_image.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace py = pybind11;

namespace vexa::python {

BufferView::BufferView(py::handle object) {
    if (PyObject_GetBuffer(object.ptr(), &buffer_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
    acquired_ = true;
}

BufferView::~BufferView() {
    if (acquired_) PyBuffer_Release(&buffer_);
}

const void* BufferView::dense2D(bool swapBytes) {
    const uint64_t rows = dim(0), cols = dim(1);
    const Py_ssize_t item = buffer_.itemsize;
    const bool dense = rows * cols == 0 || ((rows == 1 || buffer_.strides[0] == Py_ssize_t(cols) * item) &&
                                            (cols == 1 || buffer_.strides[1] == item));
    if (dense && !swapBytes) return buffer_.buf;
    return copy2D(swapBytes);
}

const void* BufferView::copy2D(bool swapBytes) {
    const uint64_t rows = dim(0), cols = dim(1);
    const Py_ssize_t item = buffer_.itemsize, rowStride = buffer_.strides[0];
    const Py_ssize_t colStride = cols > 1 ? buffer_.strides[1] : item;
    copy_.resize(rows * cols * item);
    // No pixels: nothing to copy, and an empty buffer may have no address
    // (memcpy needs one even for zero bytes).
    if (rows * cols == 0) return copy_.data();
    unsigned char* out = copy_.data();
    const char* base = static_cast<const char*>(buffer_.buf);
    for (uint64_t r = 0; r < rows; ++r) {
        const char* row = base + Py_ssize_t(r) * rowStride;
        if (colStride == item && !swapBytes) {  // a dense row: one block
            std::memcpy(out, row, cols * item);
            out += cols * item;
        } else if (item == 1) {
            for (uint64_t c = 0; c < cols; ++c) *out++ = row[Py_ssize_t(c) * colStride];
        } else {
            for (uint64_t c = 0; c < cols; ++c, out += item) {
                std::memcpy(out, row + Py_ssize_t(c) * colStride, item);
                if (swapBytes) std::reverse(out, out + item);
            }
        }
    }
    return copy_.data();
}

TreeImage::TreeImage(py::handle object) : buffer_(object) {
    if (buffer_.ndim() != 2) throw std::runtime_error("Image must be 2D (height x width).");
    if (std::strcmp(buffer_.format(), "B") != 0) throw std::runtime_error("Image must be of type uint8_t.");
    checkImageSize(buffer_.dim(0), buffer_.dim(1));
    view_.data = static_cast<const uint8_t*>(buffer_.copy2D());
    view_.numRows = uint32_t(buffer_.dim(0));
    view_.numCols = uint32_t(buffer_.dim(1));
}

bool isInt32Format(const char* format, Py_ssize_t itemSize, bool& swapBytes) {
    if (itemSize != 4) return false;
    constexpr bool littleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    swapBytes = false;
    switch (*format) {
        case '@':
        case '=':
            ++format;
            break;
        case '<':
            swapBytes = !littleEndianHost;
            ++format;
            break;
        case '>':
        case '!':
            swapBytes = littleEndianHost;
            ++format;
            break;
        default:
            break;
    }
    return std::strlen(format) == 1 && std::strchr("iIlL", *format) != nullptr;
}

}  // namespace vexa::python
