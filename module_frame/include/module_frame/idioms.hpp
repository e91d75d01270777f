#pragma once

#include <Python.h>

#include "module_frame/ref.hpp"

namespace frame {

// A presence test: reads the attribute, and any exception of the read counts as
// absence (it is cleared).
bool has_attribute(PyObject* object, PyObject* name) noexcept;

// `callable(first, *args)`, without a new tuple for short argument lists.
Ref call_prepended(PyObject* callable, PyObject* first, PyObject* args) noexcept;

// `super().__new__(cls, *args)` in a `__new__` defined in `defining_class`.
Ref call_super_new(PyObject* defining_class, PyObject* cls, PyObject* args) noexcept;

}  // namespace frame
