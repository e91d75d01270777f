#include "module_frame/idioms.hpp"

#include "module_frame/attributes.hpp"
#include "module_frame/function.hpp"
#include "module_frame/names.hpp"

namespace frame {

bool has_attribute(PyObject* object, PyObject* name) noexcept {
  Ref value = attribute(object, name);
  // A presence test: any exception of the read, whatever its kind, counts as absence.
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

namespace {

// super(defining_class, cls).__new__ as the super object finds it: along the
// method resolution order of cls after defining_class, the first class whose
// namespace has __new__, bound to nothing. Made without the super object
// where cls is a subclass and the classes searched are written in Python;
// null without an exception otherwise.
Ref parent_new_of_subclass(PyObject* defining_class, PyObject* cls) {
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                                              reinterpret_cast<PyTypeObject*>(defining_class))) {
    return Ref();
  }
  PyObject* mro = reinterpret_cast<PyTypeObject*>(cls)->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return Ref();
  Py_ssize_t count = PyTuple_GET_SIZE(mro);
  Py_ssize_t at = 0;
  while (at < count && PyTuple_GET_ITEM(mro, at) != defining_class) ++at;
  for (++at; at < count; ++at) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, at));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE) || base->tp_dict == nullptr) break;
    PyObject* found = PyDict_GetItemWithError(base->tp_dict, names::dunder_new.get());
    if (found == nullptr) {
      if (PyErr_Occurred()) return Ref();
      continue;
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return Ref::borrow(found);
    return Ref::steal(get(found, nullptr, cls));
  }
  return Ref();
}

}  // namespace

Ref call_super_new(PyObject* defining_class, PyObject* cls, PyObject* args) noexcept {
  if (defining_class == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return Ref();
  }
  Ref parent_new = parent_new_of_subclass(defining_class, cls);
  if (!parent_new && PyErr_Occurred()) return Ref();
  if (!parent_new) {
    PyObject* super_args[] = {defining_class, cls};
    Ref super = Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    if (!super) return Ref();
    parent_new = Ref::steal(PyObject_GetAttr(super.get(), names::dunder_new.get()));
    if (!parent_new) return Ref();
  }
  Ref result;
  if (call_with_star_args(parent_new.get(), cls, args, result)) return result;
  return call_prepended(parent_new.get(), cls, args);
}

}  // namespace frame
