#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace vexa::python {

// A numpy array that takes over the vector's memory (no copy).
template <typename T>
pybind11::array_t<T> owningArray(std::vector<T>&& values, const std::vector<pybind11::ssize_t>& shape) {
    // An empty vector may hold no memory at all: numpy makes the empty array.
    if (values.empty()) return pybind11::array_t<T>(shape);
    auto* owner = new std::vector<T>(std::move(values));
    pybind11::capsule release(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return pybind11::array_t<T>(shape, owner->data(), release);
}

}  // namespace vexa::python
