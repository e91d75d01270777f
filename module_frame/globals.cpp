#include "module_frame/globals.hpp"

#include "module_frame/names.hpp"

namespace frame {

namespace {

// The namespace of the builtins module, not the caller's __builtins__ (code run
// through exec may bring its own).
KeptRef builtins_namespace;

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

}  // namespace frame
