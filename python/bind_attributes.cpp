#include "python/bindings.hpp"

namespace vexa::python {

// AttributesPack and the Attributes function join here.
void bindAttributes(pybind11::module_&) {}

}  // namespace vexa::python
