#include "python/instances.hpp"

namespace py = pybind11;

namespace vexa::python {

py::object newInstance(PyTypeObject* type) {
    py::object self = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!self) throw py::error_already_set();
    reinterpret_cast<py::detail::instance*>(self.ptr())->allocate_layout();
    return self;
}

}  // namespace vexa::python
