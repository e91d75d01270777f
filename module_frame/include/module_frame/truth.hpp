#pragma once

#include <Python.h>

namespace frame {

// The truth of a value, as `if value:` tests it: 1, 0, or -1 with the
// exception set. The values the modules test most are answered inline.
inline int is_true(PyObject* value) noexcept {
  if (value == Py_True) return 1;
  if (value == Py_False || value == Py_None) return 0;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_READY(value)) {
#else
  if (PyUnicode_CheckExact(value)) {
#endif
    return PyUnicode_GET_LENGTH(value) != 0;
  }
  return PyObject_IsTrue(value);
}

}  // namespace frame
