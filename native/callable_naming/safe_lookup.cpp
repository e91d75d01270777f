#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;

Ref get_attr_safe(PyObject* obj, PyObject* attr) noexcept {
  Ref value = frame::generic_attribute(obj, attr);
  if (value || PyErr_Occurred()) return value;
  return Ref::borrow(Py_None);
}

int safe_lookup_is_true(const frame::Call& call, PyObject* obj,
                        const frame::Name& constant) noexcept {
  Ref attr = call.global(constant);
  if (!attr) return -1;
  Ref value = get_attr_safe(obj, attr.get());
  if (!value) return -1;
  return frame::is_true(value.get());
}

bool refuse_to_return(PyObject* value) noexcept {
  PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "str", Py_TYPE(value)->tp_name);
  return false;
}

}  // namespace callable_naming
