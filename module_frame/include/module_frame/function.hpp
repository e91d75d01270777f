#pragma once

#include <Python.h>

#include "module_frame/call.hpp"
#include "module_frame/module.hpp"
#include "module_frame/ref.hpp"

namespace frame {

// A new function of the modules' one Python-level function type, defined in
// `module`: it binds like a plain Python function, and its annotations are
// read from the namespace now.
Ref make_function(Module& module, const FunctionSpec& spec) noexcept;

// Makes the function and binds it in the module namespace under its name.
int define_function(Module& module, const FunctionSpec& spec) noexcept;

// Ties a function made by make_function to the class it is defined in.
void tie_to_class(PyObject* function, PyObject* cls) noexcept;

// The call site of a function made by make_function.
const CallSite& call_site(PyObject* function) noexcept;

// function(first, *rest) where `function` is one of ours that takes one named
// parameter and *args, and `rest` an exact tuple: the tuple becomes its *args
// as it is (a tuple cannot change, so a copy would be equal). True when it
// made the call, with `result` its result (null with the exception set);
// false, with nothing pending, for any other callable or arguments, which the
// caller calls as usual.
bool call_with_star_args(PyObject* function, PyObject* first, PyObject* rest, Ref& result) noexcept;

}  // namespace frame
