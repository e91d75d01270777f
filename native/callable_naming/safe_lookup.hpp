#pragma once

#include "module_frame/frame.hpp"

namespace callable_naming {

// get_attr_safe(obj, attr): the generic attribute lookup (data descriptors of
// type(obj), then obj's own dictionary, then the other attributes of
// type(obj)), which no __getattribute__ or __getattr__ of the class can
// intercept. None when the attribute is missing or its getter raised
// AttributeError; null with any other exception set.
frame::Ref get_attr_safe(PyObject* obj, PyObject* attr) noexcept;

// The truth of get_attr_safe(obj, <the constant's value>), the constant read
// from the module namespace now: 1, 0, or -1 with the exception set.
int safe_lookup_is_true(const frame::Call& call, PyObject* obj,
                        const frame::Name& constant) noexcept;

[[gnu::cold]] bool refuse_to_return(PyObject* value) noexcept;

// The return-type rule of both functions: true when `value` is exactly a str
// or None; otherwise sets TypeError "Expected str, got <type>" and returns false.
inline bool returnable(PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) || value == Py_None || refuse_to_return(value);
}

}  // namespace callable_naming
