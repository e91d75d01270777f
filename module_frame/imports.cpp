#include "module_frame/imports.hpp"

#include "relative_misses.hpp"

namespace frame {

namespace {

// A module of the same name inside the package takes the place of a standard
// one: the level-1 import is tried first, the absolute one only after an
// ImportError. A relative import that found nothing is not searched for again
// while nothing that search depended on has changed.
Ref import_relative_first(PyObject* globals, PyObject* name, PyObject* fromlist) noexcept {
  int missing = known_missing(globals, name);
  if (missing == 0) {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 1));
    if (module) return module;
  }
  if (missing <= 0) {
    // What the relative import raised (or a finder asked for it meanwhile):
    // only an ImportError lets the absolute import come after it.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
    if (remember_missing(globals, name) < 0) return Ref();
    PyErr_Clear();
  }
  return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

}  // namespace

Ref import_module(PyObject* globals, PyObject* name) noexcept {
  return import_relative_first(globals, name, nullptr);
}

Ref import_for_names(PyObject* globals, PyObject* module_name, PyObject* fromlist) noexcept {
  return import_relative_first(globals, module_name, fromlist);
}

Ref imported_name(PyObject* module, PyObject* name) noexcept {
  Ref value = Ref::steal(PyObject_GetAttr(module, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // Only the AttributeError, which the ImportError replaces.
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
