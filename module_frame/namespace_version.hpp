#pragma once

#include <Python.h>

#include "module_frame/name.hpp"

namespace frame {

// What a global lookup's answer depends on: the module's namespace and the
// builtins' namespace. Their stamp changes whenever either changes, so that
// an answer kept with its stamp holds while the stamp stays the same.

// Starts watching the builtins' namespace: 0, or -1 with the exception set.
int watch_builtins(PyObject* builtins) noexcept;

// The stamp of the namespaces now, to compare with a kept one.
NamespaceStamp current_stamp(PyObject* globals, PyObject* builtins) noexcept;

// The stamp to keep an answer with; false when no answer can be kept for
// this namespace.
bool stamp_to_keep(PyObject* globals, PyObject* builtins, NamespaceStamp& stamp) noexcept;

}  // namespace frame
