#pragma once
#include <pybind11/numpy.h>

#include "core/trees/any_tree.hpp"

namespace vexa::python {

// The pixel type of a numpy dtype; TypeError naming it when no tree builds on it.
PixelType pixelTypeOf(const pybind11::dtype& dtype);

}  // namespace vexa::python
