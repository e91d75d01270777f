#include "module_frame/text.hpp"

#include <cstring>

namespace frame {

Ref format_text(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return Ref::steal(PyObject_Format(value, nullptr));
}

namespace {

// The text of a compact ASCII str follows its header.
char* ascii_data(PyObject* text) {
  return reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(text) + 1);
}

// Names are nearly always ASCII: one pass to measure, one to copy the bytes.
Ref join_ascii(std::initializer_list<PyObject*> pieces, Py_ssize_t length) {
  Ref result = Ref::steal(PyUnicode_New(length, 127));
  if (!result) return result;
  char* at = ascii_data(result.get());
  for (PyObject* piece : pieces) {
    Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece);
    std::memcpy(at, ascii_data(piece), piece_length);
    at += piece_length;
  }
  return result;
}

Ref join_any(std::initializer_list<PyObject*> pieces, Py_ssize_t length, Py_UCS4 max_char) {
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

}  // namespace

Ref join_text(std::initializer_list<PyObject*> pieces) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  bool ascii = true;
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
    if (ascii && PyUnicode_IS_COMPACT_ASCII(piece)) continue;
    ascii = false;
    Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
    if (piece_max > max_char) max_char = piece_max;
  }
  return ascii ? join_ascii(pieces, length) : join_any(pieces, length, max_char);
}

}  // namespace frame
