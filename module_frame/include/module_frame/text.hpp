#pragma once

#include <Python.h>

#include <initializer_list>

#include "module_frame/ref.hpp"

namespace frame {

// What an f-string replacement field makes of a value: format(value, "").
Ref format_text(PyObject* value) noexcept;

// Concatenates str pieces into one new str with a single allocation.
// OverflowError "join() result is too long for a Python string" past the limit.
Ref join_text(std::initializer_list<PyObject*> pieces) noexcept;

}  // namespace frame
