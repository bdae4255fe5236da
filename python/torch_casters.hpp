#pragma once
// pybind11 conversions for torch objects that Debian's torch 1.13 bridge does
// not provide in the form we need. Include after <pybind11/pybind11.h>; the
// torch headers here are slow to compile, so only files that bind tensor
// members should include this one.
#include <pybind11/pybind11.h>

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>
#include <torch/csrc/Dtype.h>
#include <torch/csrc/DynamicTypes.h>
#include <torch/csrc/autograd/python_variable.h>

namespace vexa::python {

// A tensor result, wrapped so that signatures read "torch.Tensor" rather than
// the "at::Tensor" of torch's own caster. It crosses without copying.
struct TorchTensor {
    at::Tensor tensor;
};

}  // namespace vexa::python

namespace pybind11::detail {

// torch.dtype <-> c10::ScalarType. Only genuine torch.dtype objects convert,
// with or without implicit conversion: a string or a Python type such as
// float is an argument mismatch (TypeError).
template <>
struct type_caster<c10::ScalarType> {
    PYBIND11_TYPE_CASTER(c10::ScalarType, const_name("torch.dtype"));

    bool load(handle src, bool) {
        if (!src || !THPDtype_Check(src.ptr())) return false;
        value = reinterpret_cast<THPDtype*>(src.ptr())->scalar_type;
        return true;
    }

    static handle cast(c10::ScalarType type, return_value_policy, handle) {
        PyObject* dtype = reinterpret_cast<PyObject*>(torch::getTHPDtype(type));  // borrowed
        Py_INCREF(dtype);
        return dtype;
    }
};

template <>
struct type_caster<vexa::python::TorchTensor> {
    PYBIND11_TYPE_CASTER(vexa::python::TorchTensor, const_name("torch.Tensor"));

    bool load(handle src, bool) {
        if (!src || !THPVariable_Check(src.ptr())) return false;
        value.tensor = THPVariable_Unpack(src.ptr());
        return true;
    }

    static handle cast(const vexa::python::TorchTensor& src, return_value_policy, handle) {
        return THPVariable_Wrap(src.tensor);  // new reference, or null with the error set
    }
};

}  // namespace pybind11::detail
