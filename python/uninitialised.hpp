#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

// An object made with `cls.__new__(cls)` (as copy.copy and pickle do) never
// ran a constructor and holds no native object. pybind11 would hand its
// members a block of uninitialised memory of the right size; this makes it
// refuse instead, with a TypeError naming the class.
namespace vexa::python {

template <typename T>
void* refuseUninitialised(size_t) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(typeid(T));
    const std::string name = info ? info->type->tp_name : "object";
    throw pybind11::type_error("This " + name +
                               " was made without its constructor (e.g. by __new__) and holds nothing to read.");
}

// Call once the class is registered.
template <typename T>
void refuseUninitialisedInstances() {
    pybind11::detail::get_type_info(typeid(T))->operator_new = &refuseUninitialised<T>;
}

}  // namespace vexa::python
