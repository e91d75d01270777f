#pragma once

#include <Python.h>

#include "module_frame/call.hpp"

namespace frame {

// Fills `out` from a vectorcall, or raises TypeError with the message the
// calling conventions give and returns false.
bool parse_arguments(const CallSite& site, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) noexcept;

}  // namespace frame
