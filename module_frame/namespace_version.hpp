#pragma once

#include <Python.h>

#include "module_frame/name.hpp"

namespace frame {

// What a global lookup's answer depends on: the module's namespace and the
// builtins' namespace. Their stamp changes whenever either changes, so that
// an answer kept with its stamp holds while the stamp stays the same.

// Whether every key of the dict is an exact str. Looking a str up then runs
// no code of the program: each comparison is of two str objects. A key of
// another type (a str subclass too) is compared through its own __eq__, whose
// answer may change while the dict does not; CPython 3.11+ keeps no answer
// for such a namespace either (its dict keys are then not of the unicode
// kind, and LOAD_GLOBAL is not specialised).
bool only_str_keys(PyObject* dict) noexcept;

// Starts watching the builtins' namespace: 0, or -1 with the exception set.
int watch_builtins(PyObject* builtins) noexcept;

// The stamp of the namespaces now, to compare with a kept one.
NamespaceStamp current_stamp(PyObject* globals, PyObject* builtins) noexcept;

// The stamp to keep an answer with; false when no answer can be kept for
// this namespace.
bool stamp_to_keep(PyObject* globals, PyObject* builtins, NamespaceStamp& stamp) noexcept;

}  // namespace frame
