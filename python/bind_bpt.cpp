#include "python/bindings.hpp"

namespace vexa::python {

// DissimilarityType, BPT and NodeBPT join here.
void bindPartitionTree(pybind11::module_&) {}
void bindNodeBpt(pybind11::module_&) {}

}  // namespace vexa::python
