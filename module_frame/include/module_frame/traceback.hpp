#pragma once

#include <Python.h>

namespace frame {

// Adds one entry to the traceback of the exception being raised: a frame of
// `function_name` in `source_path` at `line`. Does nothing without an exception.
void add_traceback(PyObject* function_name, PyObject* source_path, int line) noexcept;

}  // namespace frame
