#include "module_frame/globals.hpp"

#include "module_frame/names.hpp"

namespace frame {

namespace {

// The namespace of the builtins module, not the caller's __builtins__ (code run
// through exec may bring its own).
KeptRef builtins_namespace;

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

int take_builtins() noexcept {
  if (builtins_namespace) return 0;
  // Through the import system: it gives the sys.modules entry, or makes one
  // again as `import builtins` would when the entry was removed.
  Ref builtins = Ref::steal(
      PyImport_ImportModuleLevelObject(names::builtins.get(), nullptr, nullptr, nullptr, 0));
  if (!builtins) return -1;
  Ref namespace_ = Ref::steal(PyObject_GetAttr(builtins.get(), names::dunder_dict.get()));
  if (!namespace_) return -1;
  if (!PyDict_Check(namespace_.get())) {
    PyErr_SetString(PyExc_ImportError, "the builtins module has no namespace dict");
    return -1;
  }
  builtins_namespace.keep(std::move(namespace_));
  return 0;
}

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  value = PyDict_GetItemWithError(builtins_namespace.get(), name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

Ref import_module(PyObject* globals, PyObject* name) noexcept {
  return import_relative_first(globals, name, nullptr);
}

Ref import_for_names(PyObject* globals, PyObject* module_name, PyObject* fromlist) noexcept {
  return import_relative_first(globals, module_name, fromlist);
}

Ref imported_name(PyObject* module, PyObject* name) noexcept {
  Ref value = Ref::steal(PyObject_GetAttr(module, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  }
  return value;
}

Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  if (!fromlist) return Ref();
  Ref module = import_for_names(globals, module_name, fromlist.get());
  if (!module) return Ref();
  return imported_name(module.get(), name);
}

}  // namespace frame
