#include <pybind11/pybind11.h>

#include "core/runtime/reused_memory.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace vexa::python {

void bindMemory(py::module_& m) {
    m.def("_kept_memory", &keptMemory, "The bytes of large blocks kept for reuse by later native work.");
    m.def("_release_kept_memory", &releaseKeptMemory, "Gives the blocks kept for reuse back to the system.");
}

}  // namespace vexa::python
