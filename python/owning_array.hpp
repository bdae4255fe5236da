#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <type_traits>
#include <utility>
#include <vector>

namespace vexa::python {

// A numpy array of `dtype` that takes over the vector's memory (no copy); any
// std::vector, whatever its allocator and element type (raw bytes too).
template <typename Vector>
pybind11::array owningArray(Vector&& values, const pybind11::dtype& dtype,
                            const std::vector<pybind11::ssize_t>& shape) {
    static_assert(!std::is_lvalue_reference_v<Vector>, "owningArray takes the vector over: move it in");
    // An empty vector may hold no memory at all: numpy makes the empty array.
    if (values.empty()) return pybind11::array(dtype, shape);
    auto* owner = new Vector(std::move(values));
    pybind11::capsule release(owner, [](void* p) { delete static_cast<Vector*>(p); });
    return pybind11::array(dtype, shape, owner->data(), release);
}

// The same with the dtype of the vector's elements.
template <typename Vector, typename T = typename Vector::value_type>
pybind11::array_t<T> owningArray(Vector&& values, const std::vector<pybind11::ssize_t>& shape) {
    return pybind11::reinterpret_borrow<pybind11::array_t<T>>(
        owningArray(std::forward<Vector>(values), pybind11::dtype::of<T>(), shape));
}

}  // namespace vexa::python
