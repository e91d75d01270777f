#pragma once

#include <Python.h>

#include "module_frame/call.hpp"
#include "module_frame/module.hpp"
#include "module_frame/name.hpp"

namespace frame {

constexpr int kMaxMethods = 3;

// A class of a module, declared as data.
struct ClassSpec {
  const Name& name;
  const Name* base = nullptr;  // the module global naming the single base, if any
  const FunctionSpec* methods[kMaxMethods] = {};
};

// Creates the class through its metaclass (with __prepare__ where there is a
// base), with __module__, __qualname__ and the methods in order (a __new__ as
// a staticmethod, as a class statement stores it), ties the methods to the
// class and binds it in the module namespace.
int define_class(Module& module, const ClassSpec& spec) noexcept;

// The version the interpreter gives a class, which any change of the class or
// of its bases replaces; 0 while it has none.
unsigned int class_version(PyTypeObject* type) noexcept;

}  // namespace frame
