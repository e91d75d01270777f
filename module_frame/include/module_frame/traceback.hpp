#pragma once

#include <Python.h>

namespace frame {

// Adds one entry to the traceback of the exception being raised: a frame of
// `function_name` in `source_path` at `line`. Does nothing without an
// exception; when what the entry needs cannot be made, the exception stays as
// it was, without the entry.
void add_traceback(PyObject* function_name, PyObject* source_path, int line) noexcept;

}  // namespace frame
