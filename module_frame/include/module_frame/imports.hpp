#pragma once

#include <Python.h>

#include "module_frame/ref.hpp"

namespace frame {

// `import name`: relative to the package of `globals` first, absolute only
// after an ImportError.
Ref import_module(PyObject* globals, PyObject* name) noexcept;

// The module of `from module_name import ...`, imported by the same rule with
// `fromlist` (a tuple of names) as its from-list.
Ref import_for_names(PyObject* globals, PyObject* module_name, PyObject* fromlist) noexcept;

// One name of a from-import, read from the imported module; ImportError
// "cannot import name %S" when the module lacks it.
Ref imported_name(PyObject* module, PyObject* name) noexcept;

// `from module_name import name`.
Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name) noexcept;

}  // namespace frame
