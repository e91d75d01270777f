#include "module_frame/module.hpp"

namespace frame {

// The namespace of the builtins module, not the caller's __builtins__ (code
// run through exec may bring its own). Taken from sys.modules without
// __import__, which the caller's builtins could lack.
PyObject* builtins_namespace() noexcept {
  static KeptRef builtins;
  if (!builtins) {
    PyObject* module = PyImport_AddModule("builtins");
    if (module == nullptr) return nullptr;
    builtins.keep(Ref::borrow(PyModule_GetDict(module)));
  }
  return builtins.get();
}

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  PyObject* builtins = builtins_namespace();
  if (builtins == nullptr) return Ref();
  value = PyDict_GetItemWithError(builtins, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

namespace {

// A module of the same name inside the package takes the place of a standard
// one: the level-1 import is tried first, the absolute one only after an
// ImportError.
Ref import_relative_first(PyObject* globals, PyObject* name, PyObject* fromlist) noexcept {
  Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 1));
  if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
  PyErr_Clear();
  return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

}  // namespace

Ref import_module(PyObject* globals, PyObject* name) noexcept {
  return import_relative_first(globals, name, nullptr);
}

Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  if (!fromlist) return Ref();
  Ref module = import_relative_first(globals, module_name, fromlist.get());
  if (!module) return Ref();
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  }
  return value;
}

}  // namespace frame
