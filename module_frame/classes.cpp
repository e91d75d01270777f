#include "module_frame/function.hpp"

#include <vector>

namespace frame {

namespace {

// The class namespace: what the metaclass's __prepare__ returns when there is
// a base, otherwise a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases, bool has_base) {
  if (!has_base) return Ref::steal(PyDict_New());
  Ref prepare = Ref::steal(PyObject_GetAttrString(metaclass, "__prepare__"));
  if (!prepare) return prepare;
  return Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name, bases, nullptr));
}

}  // namespace

int define_class(Module& module, const ClassSpec& spec) noexcept {
  PyObject* name = spec.name.get();
  Ref bases;
  PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
  Ref base;
  if (spec.base != nullptr) {
    base = lookup_global(module.globals(), spec.base->get());
    if (!base) return -1;
    metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    bases = Ref::steal(PyTuple_Pack(1, base.get()));
  } else {
    bases = Ref::steal(PyTuple_New(0));
  }
  if (!bases) return -1;
  Ref keep_metaclass = Ref::borrow(metaclass);

  Ref namespace_ = prepare_namespace(metaclass, name, bases.get(), spec.base != nullptr);
  if (!namespace_) return -1;
  if (PyObject_SetItem(namespace_.get(), Ref::steal(PyUnicode_InternFromString("__module__")).get(),
                       module.name()) < 0 ||
      PyObject_SetItem(namespace_.get(),
                       Ref::steal(PyUnicode_InternFromString("__qualname__")).get(), name) < 0) {
    return -1;
  }
  std::vector<Ref> methods;
  for (FunctionSpec* method : spec.methods) {
    Ref function = make_function(module, *method);
    if (!function) return -1;
    Ref method_name = Ref::steal(PyUnicode_InternFromString(method->signature.name));
    if (!method_name || PyObject_SetItem(namespace_.get(), method_name.get(), function.get()) < 0) {
      return -1;
    }
    methods.push_back(std::move(function));
  }

  Ref cls = Ref::steal(
      PyObject_CallFunctionObjArgs(metaclass, name, bases.get(), namespace_.get(), nullptr));
  if (!cls) return -1;
  int index = 0;
  for (FunctionSpec* method : spec.methods) {
    if (method->uses_class) tie_to_class(methods[index].get(), cls.get());
    ++index;
  }
  return module.bind(spec.name, std::move(cls));
}

}  // namespace frame
