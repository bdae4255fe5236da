#pragma once
#include <pybind11/numpy.h>

#include "core/trees/any_tree.hpp"

namespace vexa::python {

// The pixel type of a numpy dtype; TypeError naming it when no tree builds on it.
PixelType pixelTypeOf(const pybind11::dtype& dtype);

// The builders' view of a C-contiguous, native-order 2-D or 3-D array;
// ValueError naming what is wrong otherwise. The caller keeps the array alive.
AnyImage anyImageOf(const pybind11::array& image);

// n uint32 node ids (0xFFFFFFFF for none) as an int64 numpy array of `shape`
// (none as -1), written without the lock over `threads` threads.
pybind11::array_t<int64_t> widenedIds(const uint32_t* ids, size_t n, std::vector<pybind11::ssize_t> shape,
                                      unsigned threads = 1);

}  // namespace vexa::python
