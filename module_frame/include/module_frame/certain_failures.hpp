#pragma once

#include <Python.h>

namespace frame {

// Stands in for `import_module(name)`, the import system's own
// importlib.import_module read from `importlib`, when its failure is certain
// before any finder runs: `name`'s parent is loaded and is not a package.
// True when it answered: the exception that the import system would raise is
// pending (or one that a read the import system also makes raised instead).
// False, with nothing pending, when the import system must be asked. Which
// inputs it relies on is listed at the top of certain_failures.cpp.
bool import_fails_for_certain(PyObject* importlib, PyObject* import_module,
                              PyObject* name) noexcept;

}  // namespace frame
