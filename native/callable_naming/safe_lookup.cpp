#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;

Ref get_attr_safe(PyObject* obj, PyObject* attr) noexcept {
  // Private API, for the generic lookup with AttributeError suppressed: a miss
  // returns null with no exception set, at no cost of raising one.
  PyObject* value = _PyObject_GenericGetAttrWithDict(obj, attr, nullptr, 1);
  if (value != nullptr) return Ref::steal(value);
  if (PyErr_Occurred()) return Ref();
  return Ref::borrow(Py_None);
}

int safe_lookup_is_true(const frame::Call& call, PyObject* obj,
                        const frame::Name& constant) noexcept {
  Ref attr = call.global(constant);
  if (!attr) return -1;
  Ref value = get_attr_safe(obj, attr.get());
  if (!value) return -1;
  return PyObject_IsTrue(value.get());
}

bool returnable(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value) || value == Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "str", Py_TYPE(value)->tp_name);
  return false;
}

}  // namespace callable_naming
