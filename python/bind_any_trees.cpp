#include <pybind11/pybind11.h>

#include "python/bindings.hpp"

namespace vexa::python {
void bindAnyTrees(pybind11::module_&) {}
}  // namespace vexa::python
