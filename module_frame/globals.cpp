#include "module_frame/globals.hpp"

#include "module_frame/names.hpp"
#include "namespace_version.hpp"

namespace frame {

namespace {

// The namespace of the builtins module, not the caller's __builtins__ (code run
// through exec may bring its own).
KeptRef builtins_namespace;

// Module namespace first, then the builtins (borrowed); null with NameError.
PyObject* find_global(PyObject* globals, PyObject* builtins, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value != nullptr || PyErr_Occurred()) return value;
  value = PyDict_GetItemWithError(builtins, name);
  if (value != nullptr || PyErr_Occurred()) return value;
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
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
  if (watch_builtins(namespace_.get()) < 0) return -1;
  builtins_namespace.keep(std::move(namespace_));
  return 0;
}

Ref lookup_global(PyObject* globals, const Name& name) noexcept {
  PyObject* builtins = builtins_namespace.get();
  // The last answer holds while neither namespace has changed since.
  KeptAnswer& kept = name.answer();
  if (kept.globals == globals && current_stamp(globals, builtins) == kept.stamp) {
    return Ref::borrow(kept.value);
  }
  NamespaceStamp stamp;
  bool keep = stamp_to_keep(globals, builtins, stamp);
  PyObject* value = find_global(globals, builtins, name.get());
  if (value == nullptr) return Ref();
  if (keep) kept = {globals, value, stamp};
  return Ref::borrow(value);
}

}  // namespace frame
