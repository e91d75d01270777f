#pragma once

#include <Python.h>

#include "module_frame/ref.hpp"

namespace payload_wrapper {

// A presence test: reads the attribute, and any exception of the read counts as
// absence (it is cleared).
bool has_attribute(PyObject* object, PyObject* name) noexcept;

// `super().__new__(cls, *args)` in a `__new__` defined in `defining_class`.
frame::Ref call_super_new(PyObject* defining_class, PyObject* cls, PyObject* args) noexcept;

}  // namespace payload_wrapper
