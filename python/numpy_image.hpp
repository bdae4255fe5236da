#pragma once
#include <pybind11/pybind11.h>

#include <vector>

#include "core/geometry/image_view.hpp"

namespace vexa::python {

// A Python buffer acquired with strides and format, left for the caller to
// check; released with this object.
class BufferView {
public:
    // Requests the buffer; the error of the request propagates.
    explicit BufferView(pybind11::handle object);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    int ndim() const { return buffer_.ndim; }
    const char* format() const { return buffer_.format ? buffer_.format : "B"; }
    Py_ssize_t itemSize() const { return buffer_.itemsize; }
    uint64_t dim(int axis) const { return uint64_t(buffer_.shape[axis]); }

    // The elements of a 2-D buffer as one dense row-major block in native
    // byte order: the buffer itself when it already is one, else a copy
    // (byte-swapped when `swapBytes`) owned by this object.
    const void* dense2D(bool swapBytes = false);
    // The same elements always copied into memory this object owns, for
    // callers that read them more than once: another thread may write to the
    // buffer meanwhile (numpy and torch copy without the GIL), and a value
    // read twice must read the same.
    const void* copy2D(bool swapBytes = false);

private:
    Py_buffer buffer_{};
    bool acquired_ = false;
    std::vector<unsigned char> copy_;
};

// The grey-level image of a component tree. Checks, in order: two
// dimensions, element format exactly "B", a size that 32-bit pixel indices
// can address. The levels are copied (1 byte per pixel): the tree reads
// each of them several times.
class TreeImage {
public:
    explicit TreeImage(pybind11::handle object);
    ImageView view() const { return view_; }

private:
    BufferView buffer_;
    ImageView view_;
};

// Whether a buffer format names a 4-byte integer (int32 or uint32, in any
// byte order); sets `swapBytes` when its order is not the machine's.
bool isInt32Format(const char* format, Py_ssize_t itemSize, bool& swapBytes);

}  // namespace vexa::python
