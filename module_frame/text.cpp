#include "module_frame/text.hpp"

#include <cstring>

namespace frame {

Ref format_text(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return Ref::steal(PyObject_Format(value, nullptr));
}

Ref join_text(std::initializer_list<PyObject*> pieces) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (PyObject* piece : pieces) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(piece) < 0) return Ref();
#endif
    Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece);
    if (piece_length > PY_SSIZE_T_MAX - length) {
      PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
      return Ref();
    }
    length += piece_length;
    Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
    if (piece_max > max_char) max_char = piece_max;
  }
  Ref result = Ref::steal(PyUnicode_New(length, max_char));
  if (!result) return result;
  const int kind = PyUnicode_KIND(result.get());
  char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
  Py_ssize_t at = 0;
  for (PyObject* piece : pieces) {
    Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece);
    // Pieces of the result's width (nearly always) are copied as bytes.
    if (PyUnicode_KIND(piece) == kind) {
      std::memcpy(data + at * kind, PyUnicode_DATA(piece), piece_length * kind);
    } else if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, piece_length) < 0) {
      return Ref();
    }
    at += piece_length;
  }
  return result;
}

}  // namespace frame
