#include "module_frame/idioms.hpp"

#include "module_frame/attributes.hpp"
#include "module_frame/names.hpp"

namespace frame {

bool has_attribute(PyObject* object, PyObject* name) noexcept {
  Ref value = attribute(object, name);
  if (!value) PyErr_Clear();
  return static_cast<bool>(value);
}

Ref call_prepended(PyObject* callable, PyObject* first, PyObject* rest) noexcept {
  constexpr Py_ssize_t kOnStack = 8;
  Py_ssize_t count = PyTuple_GET_SIZE(rest);
  if (count < kOnStack) {
    PyObject* stack[kOnStack + 1];
    stack[0] = first;
    for (Py_ssize_t i = 0; i < count; ++i) stack[i + 1] = PyTuple_GET_ITEM(rest, i);
    return Ref::steal(PyObject_Vectorcall(callable, stack, count + 1, nullptr));
  }
  Ref all = Ref::steal(PyTuple_New(count + 1));
  if (!all) return Ref();
  PyTuple_SET_ITEM(all.get(), 0, Py_NewRef(first));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SET_ITEM(all.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(rest, i)));
  }
  return Ref::steal(PyObject_Call(callable, all.get(), nullptr));
}

Ref call_super_new(PyObject* defining_class, PyObject* cls, PyObject* args) noexcept {
  if (defining_class == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return Ref();
  }
  PyObject* super_args[] = {defining_class, cls};
  Ref super = Ref::steal(
      PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
  if (!super) return Ref();
  Ref parent_new = Ref::steal(PyObject_GetAttr(super.get(), names::dunder_new.get()));
  if (!parent_new) return Ref();
  return call_prepended(parent_new.get(), cls, args);
}

}  // namespace frame
