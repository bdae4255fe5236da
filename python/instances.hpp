#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

// How instances of the module's classes come to be, made safe where
// pybind11 is not:
// - an object made with `cls.__new__(cls)` (as copy.copy and pickle do) never
//   ran a constructor and holds no native object; pybind11 would hand its
//   members a block of uninitialised memory. Its members raise TypeError.
// - pybind11 uses the memory of a new instance without checking that Python
//   could allocate it; newInstance checks, and raises MemoryError.
namespace vexa::python {

// A new, empty instance of a registered class (no native object yet).
pybind11::object newInstance(PyTypeObject* type);

template <typename T>
void* refuseUninitialised(size_t) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(typeid(T));
    const std::string name = info ? info->type->tp_name : "object";
    throw pybind11::type_error("This " + name +
                               " was made without its constructor (e.g. by __new__) and holds nothing to read.");
}

// Call once the class is registered.
template <typename T>
void guardInstances() {
    pybind11::detail::type_info* info = pybind11::detail::get_type_info(typeid(T));
    info->operator_new = &refuseUninitialised<T>;
}

}  // namespace vexa::python
