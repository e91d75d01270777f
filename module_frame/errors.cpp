#include "module_frame/errors.hpp"

namespace frame {

bool clear_if_ordinary() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

HandlingException::HandlingException() noexcept {
  PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyErr_SetExcInfo(type, value, traceback);
}

HandlingException::~HandlingException() {
  PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_);
}

}  // namespace frame
