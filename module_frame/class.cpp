#include "module_frame/class.hpp"

#include "module_frame/function.hpp"
#include "module_frame/globals.hpp"
#include "module_frame/names.hpp"

namespace frame {

namespace {

// The class namespace: what the metaclass's __prepare__ returns when there is
// a base, otherwise a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases, bool has_base) {
  if (!has_base) return Ref::steal(PyDict_New());
  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass, names::dunder_prepare.get()));
  if (!prepare) return prepare;
  PyObject* prepare_args[] = {name, bases};
  return Ref::steal(PyObject_Vectorcall(prepare.get(), prepare_args, 2, nullptr));
}

// What a class statement stores for a method: the function itself, and for
// __new__ a staticmethod around it.
Ref class_attribute(PyObject* function, const FunctionSpec& spec) {
  if (PyUnicode_CompareWithASCIIString(names::dunder_new.get(), spec.name()) != 0) {
    return Ref::borrow(function);
  }
  return Ref::steal(PyStaticMethod_New(function));
}

}  // namespace

int define_class(Module& module, const ClassSpec& spec) noexcept {
  PyObject* name = spec.name.get();
  Ref base;
  if (spec.base != nullptr) {
    base = lookup_global(module.globals(), *spec.base);
    if (!base) return -1;
  }
  Ref bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref::steal(PyTuple_New(0));
  if (!bases) return -1;
  Ref metaclass = Ref::borrow(base ? reinterpret_cast<PyObject*>(Py_TYPE(base.get()))
                                   : reinterpret_cast<PyObject*>(&PyType_Type));

  Ref namespace_ = prepare_namespace(metaclass.get(), name, bases.get(), static_cast<bool>(base));
  if (!namespace_) return -1;
  if (PyObject_SetItem(namespace_.get(), names::dunder_module.get(), module.name()) < 0 ||
      PyObject_SetItem(namespace_.get(), names::dunder_qualname.get(), name) < 0) {
    return -1;
  }
  Ref methods[kMaxMethods];
  for (int i = 0; i < kMaxMethods && spec.methods[i] != nullptr; ++i) {
    const FunctionSpec& method = *spec.methods[i];
    methods[i] = make_function(module, method);
    if (!methods[i]) return -1;
    Ref attribute = class_attribute(methods[i].get(), method);
    Ref method_name = Ref::steal(PyUnicode_InternFromString(method.name()));
    if (!attribute || !method_name ||
        PyObject_SetItem(namespace_.get(), method_name.get(), attribute.get()) < 0) {
      return -1;
    }
  }

  PyObject* class_args[] = {name, bases.get(), namespace_.get()};
  Ref cls = Ref::steal(PyObject_Vectorcall(metaclass.get(), class_args, 3, nullptr));
  if (!cls) return -1;
  for (const Ref& method : methods) {
    if (method) tie_to_class(method.get(), cls.get());
  }
  return module.bind(spec.name, std::move(cls));
}

unsigned int class_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  // From 3.13 a version of 0 says there is none.
  return type->tp_version_tag;
}

}  // namespace frame
