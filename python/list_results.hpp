#pragma once
#include <pybind11/pybind11.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "attributes/node_info.hpp"
#include "core/runtime/span.hpp"

// Members that return a list return a ListResult: the same list as a
// std::vector would give, but a list that cannot be allocated raises the
// MemoryError that Python reported, where the generic conversion would turn
// it into a TypeError about the return value. It holds a vector of its own
// or views one the tree keeps.
namespace vexa::python {

template <typename Range>
struct ListResult {
    Range items;
};

template <typename T>
ListResult<std::vector<T>> asList(std::vector<T> items) {
    return {std::move(items)};
}

template <typename T>
ListResult<Span<T>> asList(Span<T> items) {
    return {items};
}

// Any other result whose conversion may fail for want of memory (a record
// as a dict, a pair as a tuple): the same MemoryError.
template <typename T>
struct Checked {
    T value;
};

}  // namespace vexa::python

namespace pybind11::detail {

// A node record as a dict, through the C API: pybind11's dict and list
// casters report a failed allocation through pybind11_fail, which must not
// be reached while Python's MemoryError is set (debug builds assert it).
// Every failure here leaves that error set and raises it.
inline object recordValue(uint64_t value) { return reinterpret_steal<object>(PyLong_FromUnsignedLongLong(value)); }
inline object recordValue(int32_t value) { return reinterpret_steal<object>(PyLong_FromLong(value)); }
inline object recordValue(const std::string& value) {
    return reinterpret_steal<object>(PyUnicode_FromStringAndSize(value.data(), ssize_t(value.size())));
}
inline object recordValue(const std::vector<uint32_t>& values) {
    object list = reinterpret_steal<object>(PyList_New(ssize_t(values.size())));
    if (!list) return list;
    for (size_t k = 0; k < values.size(); ++k) {
        PyObject* item = PyLong_FromUnsignedLong(values[k]);
        if (!item) return object();
        PyList_SET_ITEM(list.ptr(), ssize_t(k), item);
    }
    return list;
}

inline handle castRecord(const vexa::NodeInfo& record) {
    object dict = reinterpret_steal<object>(PyDict_New());
    if (!dict) throw error_already_set();
    for (const auto& [key, value] : record) {
        object item = std::visit(
            [](const auto& v) {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_unsigned_v<V>) return recordValue(uint64_t(v));
                else return recordValue(v);
            },
            value);
        if (!item || PyDict_SetItemString(dict.ptr(), key.c_str(), item.ptr()) != 0) throw error_already_set();
    }
    return dict.release();
}

// make_caster<T>::cast, with a failed allocation raised as the MemoryError
// Python reported.
template <typename T>
handle castOrMemoryError(const T& value, return_value_policy policy, handle parent) {
    if constexpr (std::is_same_v<T, vexa::NodeInfo>) return castRecord(value);
    handle result;
    try {
        result = make_caster<T>::cast(value, policy, parent);
    } catch (const std::runtime_error&) {
        // pybind11 reports a dict or list it could not allocate this way.
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
        throw;
    }
    if (!result) {
        if (PyErr_Occurred()) throw error_already_set();
        throw cast_error("A result has no Python form.");
    }
    return result;
}

template <typename Range>
struct type_caster<vexa::python::ListResult<Range>> {
    using T = std::decay_t<decltype(*std::begin(std::declval<const Range&>()))>;
    PYBIND11_TYPE_CASTER(vexa::python::ListResult<Range>, const_name("List[") + make_caster<T>::name + const_name("]"));
    bool load(handle, bool) { return false; }

    static handle cast(const vexa::python::ListResult<Range>& src, return_value_policy policy, handle parent) {
        object list = reinterpret_steal<object>(PyList_New(ssize_t(src.items.size())));
        if (!list) throw error_already_set();
        ssize_t index = 0;
        for (const T& value : src.items)
            PyList_SET_ITEM(list.ptr(), index++, castOrMemoryError(value, policy, parent).ptr());
        return list.release();
    }
};

template <typename T>
struct type_caster<vexa::python::Checked<T>> {
    PYBIND11_TYPE_CASTER(vexa::python::Checked<T>, make_caster<T>::name);
    bool load(handle, bool) { return false; }

    static handle cast(const vexa::python::Checked<T>& src, return_value_policy policy, handle parent) {
        return castOrMemoryError(src.value, policy, parent);
    }
};

}  // namespace pybind11::detail
