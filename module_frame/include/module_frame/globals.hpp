#pragma once

#include <Python.h>

#include "module_frame/name.hpp"
#include "module_frame/ref.hpp"

namespace frame {

// Takes the namespace of the `builtins` module for the global lookups of this
// module's functions, once, while the first body runs: 0, or -1 with the
// exception set.
int take_builtins() noexcept;

// Module namespace first, then the builtins; NameError "name '%U' is not defined".
Ref lookup_global(PyObject* globals, const Name& name) noexcept;

}  // namespace frame
