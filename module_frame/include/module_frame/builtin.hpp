#pragma once

#include <Python.h>

#include "module_frame/call.hpp"
#include "module_frame/function.hpp"
#include "module_frame/module.hpp"
#include "module_frame/ref.hpp"

namespace frame {

// A module-level function that is a plain builtin (builtin_function_or_method
// with no __self__), its signature readable by inspect. It runs through a
// function object of our own type that stays hidden behind it.
class Builtin {
 public:
  // METH_FASTCALL | METH_KEYWORDS.
  using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

  constexpr explicit Builtin(const FunctionSpec& spec) noexcept : spec_(spec) {}
  Builtin(const Builtin&) = delete;
  Builtin& operator=(const Builtin&) = delete;

  // Makes the builtin and binds it in the module namespace under its name.
  int define(Module& module, Entry entry) noexcept;

  // CPython's builtin call path has taken the recursion guard already. The
  // function is held for the call: a later load may replace it meanwhile.
  PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const noexcept {
    Ref function = Ref::borrow(function_.get());
    return call_site(function.get()).run(args, static_cast<size_t>(nargs), kwnames);
  }

 private:
  const FunctionSpec& spec_;
  KeptRef function_;
  KeptRef doc_;  // the text signature and the docstring; the method definition points into it
  PyMethodDef method_{};
};

template <Builtin& builtin>
PyObject* builtin_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return builtin.run(args, nargs, kwnames);
}

template <Builtin& builtin>
int define_builtin(Module& module) noexcept {
  return builtin.define(module, builtin_entry<builtin>);
}

}  // namespace frame
