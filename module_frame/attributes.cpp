#include "module_frame/attributes.hpp"

#include <cstring>

#include "module_frame/errors.hpp"
#include "module_frame/names.hpp"

namespace frame {

namespace {

// kError: the lookup the read itself makes raised (a key's __eq__); the
// read raises the same.
enum class Answer { kUnknown, kMissing, kFound, kError };

// How the read is made: the generic algorithm, or the object's own machinery.
enum class Read { kGeneric, kOrdinary };

Answer found(PyObject* value, Ref& out) {
  out = Ref::borrow(value ? value : Py_None);
  return Answer::kFound;
}

// An attribute that no descriptor of the type provides: the object's own
// dict decides, or its absence (null).
Answer in_own_dict(PyObject* dict, PyObject* name, Ref& out) {
  if (dict == nullptr) return Answer::kMissing;
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr) return PyErr_Occurred() ? Answer::kError : Answer::kMissing;
  out = Ref::borrow(value);
  return Answer::kFound;
}

bool is_unbound_name(PyObject* name) {
  return name == names::dunder_self.get() || name == names::dunder_func.get() ||
         name == names::dunder_objclass.get();
}

Answer function_attribute(PyObject* obj, PyObject* name, Ref& out) {
  auto* function = reinterpret_cast<PyFunctionObject*>(obj);
  if (name == names::dunder_module.get()) return found(function->func_module, out);
  if (name == names::dunder_name.get()) return found(function->func_name, out);
  if (name == names::dunder_qualname.get()) return found(function->func_qualname, out);
  if (is_unbound_name(name)) return in_own_dict(function->func_dict, name, out);
  return Answer::kUnknown;
}

Answer method_attribute(PyObject* obj, PyObject* name, Ref& out) {
  if (name == names::dunder_self.get()) return found(PyMethod_GET_SELF(obj), out);
  if (name == names::dunder_func.get()) return found(PyMethod_GET_FUNCTION(obj), out);
  // A bound method does not hand these on to its function, to the generic algorithm.
  if (name == names::dunder_module.get() || name == names::dunder_name.get() ||
      name == names::dunder_qualname.get() || name == names::dunder_objclass.get()) {
    return Answer::kMissing;
  }
  return Answer::kUnknown;
}

Answer builtin_attribute(PyObject* obj, PyObject* name, Ref& out) {
  auto* builtin = reinterpret_cast<PyCFunctionObject*>(obj);
  if (name == names::dunder_module.get()) return found(builtin->m_module, out);
  if (name == names::dunder_self.get()) return found(PyCFunction_GET_SELF(obj), out);
  // Its name is made from the method definition at each read.
  bool plain = builtin->m_self == nullptr || PyModule_Check(builtin->m_self);
  if (name == names::dunder_name.get() || (name == names::dunder_qualname.get() && plain)) {
    out = Ref::steal(PyUnicode_FromString(builtin->m_ml->ml_name));
    return out ? Answer::kFound : Answer::kError;
  }
  if (name == names::dunder_func.get() || name == names::dunder_objclass.get()) {
    return Answer::kMissing;
  }
  return Answer::kUnknown;
}

// Method and slot descriptors keep their class and name, and their
// qualified name once it was asked for.
Answer descriptor_attribute(PyObject* obj, PyObject* name, Ref& out) {
  auto* descriptor = reinterpret_cast<PyDescrObject*>(obj);
  if (name == names::dunder_objclass.get()) {
    return found(reinterpret_cast<PyObject*>(descriptor->d_type), out);
  }
  if (name == names::dunder_name.get()) return found(descriptor->d_name, out);
  if (name == names::dunder_qualname.get() && descriptor->d_qualname != nullptr) {
    return found(descriptor->d_qualname, out);
  }
  if (name == names::dunder_module.get() || name == names::dunder_self.get() ||
      name == names::dunder_func.get()) {
    return Answer::kMissing;
  }
  return Answer::kUnknown;
}

// A class whose metaclass is type, written in Python: the metaclass's data
// descriptors give its module and names; other names come from the class's
// own namespace, for the generic algorithm (the ordinary read searches the
// class's bases too, and binds what it finds).
Answer class_attribute(PyObject* obj, PyObject* name, Read read, Ref& out) {
  auto* type = reinterpret_cast<PyTypeObject*>(obj);
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    // A built-in class without a dotted name is of the builtins module.
    if (name == names::dunder_module.get() && std::strchr(type->tp_name, '.') == nullptr) {
      return found(names::builtins.get(), out);
    }
    return Answer::kUnknown;
  }
  if (type->tp_dict == nullptr) return Answer::kUnknown;
  auto* heap_type = reinterpret_cast<PyHeapTypeObject*>(obj);
  if (name == names::dunder_module.get()) {
    // Without one in its namespace, the class has no __module__; the
    // ordinary read says so with its own error.
    Answer answer = in_own_dict(type->tp_dict, name, out);
    return read == Read::kOrdinary && answer == Answer::kMissing ? Answer::kUnknown : answer;
  }
  if (name == names::dunder_qualname.get()) return found(heap_type->ht_qualname, out);
  if (name == names::dunder_name.get()) return found(heap_type->ht_name, out);
  if (read == Read::kGeneric && is_unbound_name(name)) return in_own_dict(type->tp_dict, name, out);
  return Answer::kUnknown;
}

// A module's own attribute: neither the module type's descriptors (all
// dunder names) nor its __getattr__ take part when the namespace has it.
Answer module_attribute(PyObject* obj, PyObject* name, Ref& out) {
  // The modules' names are interned ASCII text.
  if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name) ||
      PyUnicode_1BYTE_DATA(name)[0] == '_') {
    return Answer::kUnknown;
  }
  Answer answer = in_own_dict(PyModule_GetDict(obj), name, out);
  return answer == Answer::kMissing ? Answer::kUnknown : answer;
}

bool is_known_type(PyTypeObject* type) {
  return type == &PyFunction_Type || type == &PyType_Type || type == &PyCFunction_Type ||
         type == &PyMethod_Type || type == &PyMethodDescr_Type || type == &PyWrapperDescr_Type;
}

Answer known_attribute(PyObject* obj, PyObject* name, Read read, Ref& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyFunction_Type) {
    if (name == names::dunder_class.get()) return found(reinterpret_cast<PyObject*>(type), out);
    return function_attribute(obj, name, out);
  }
  if (type == &PyType_Type) {
    if (name == names::dunder_class.get()) return found(reinterpret_cast<PyObject*>(type), out);
    return class_attribute(obj, name, read, out);
  }
  if (!is_known_type(type)) return Answer::kUnknown;
  // None of these types overrides the __class__ that object gives.
  if (name == names::dunder_class.get()) return found(reinterpret_cast<PyObject*>(type), out);
  if (type == &PyCFunction_Type) return builtin_attribute(obj, name, out);
  if (type == &PyMethod_Type) {
    // Its own machinery hands other names on to the function.
    if (read == Read::kOrdinary && name != names::dunder_self.get() &&
        name != names::dunder_func.get()) {
      return Answer::kUnknown;
    }
    return method_attribute(obj, name, out);
  }
  return descriptor_attribute(obj, name, out);
}

}  // namespace

PyObject* plain_class_qualname(PyObject* cls) noexcept {
  if (!Py_IS_TYPE(cls, &PyType_Type) ||
      !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) {
    return nullptr;
  }
  return reinterpret_cast<PyHeapTypeObject*>(cls)->ht_qualname;
}

bool answered_by_layout(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  bool names_it = name == names::dunder_name.get() || name == names::dunder_qualname.get();
  if (type == &PyFunction_Type) return names_it || name == names::dunder_module.get();
  if (type == &PyType_Type) {
    return names_it && PyType_HasFeature(reinterpret_cast<PyTypeObject*>(obj), Py_TPFLAGS_HEAPTYPE);
  }
  if (type == &PyMethod_Type) {
    return name == names::dunder_self.get() || name == names::dunder_func.get();
  }
  if (type == &PyCFunction_Type) {
    PyObject* self = PyCFunction_GET_SELF(obj);
    bool plain = self == nullptr || PyModule_Check(self);
    return name == names::dunder_name.get() || name == names::dunder_module.get() ||
           (name == names::dunder_qualname.get() && plain);
  }
  if (type == &PyMethodDescr_Type || type == &PyWrapperDescr_Type) {
    return name == names::dunder_name.get() || name == names::dunder_objclass.get() ||
           (name == names::dunder_qualname.get() &&
            reinterpret_cast<PyDescrObject*>(obj)->d_qualname != nullptr);
  }
  return false;
}

int is_instance(PyObject* obj, PyObject* cls) noexcept {
  // isinstance consults obj.__class__ too, which those types take from object.
  if (PyType_CheckExact(cls) && is_known_type(Py_TYPE(obj))) {
    return PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
  }
  return PyObject_IsInstance(obj, cls);
}

Ref generic_attribute(PyObject* obj, PyObject* name) noexcept {
  Ref value;
  switch (known_attribute(obj, name, Read::kGeneric, value)) {
    case Answer::kFound:
      return value;
    case Answer::kMissing:
    case Answer::kError:
      return Ref();
    case Answer::kUnknown:
      break;
  }
  // Private API, for the generic algorithm with AttributeError suppressed: a
  // miss costs no exception.
  return Ref::steal(_PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1));
}

Ref generic_attribute_or_error(PyObject* obj, PyObject* name) noexcept {
  Ref value = generic_attribute(obj, name);
  if (value || PyErr_Occurred()) return value;
  return Ref::steal(PyObject_GenericGetAttr(obj, name));
}

Ref attribute(PyObject* obj, PyObject* name) noexcept {
  Ref value;
  Answer answer = PyModule_CheckExact(obj) ? module_attribute(obj, name, value)
                                           : known_attribute(obj, name, Read::kOrdinary, value);
  switch (answer) {
    case Answer::kFound:
      return value;
    case Answer::kError:
      return Ref();
    case Answer::kMissing:
    case Answer::kUnknown:
      break;
  }
  return Ref::steal(PyObject_GetAttr(obj, name));
}

bool own_dict_lacks(PyObject* obj, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return false;
#endif
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict) {
    // Objects without a dict have nothing to shadow; other errors tell nothing.
    bool no_dict = PyErr_ExceptionMatches(PyExc_AttributeError);
    clear_if_ordinary();
    return no_dict;
  }
  if (!PyDict_CheckExact(dict.get())) return false;
  bool lacks = PyDict_GetItemWithError(dict.get(), name) == nullptr && !PyErr_Occurred();
  // A key's __eq__ may have raised: an ordinary error tells nothing, any other stays set.
  if (PyErr_Occurred()) clear_if_ordinary();
  return lacks;
}

namespace {

// A method-wrapper as Objects/descrobject.c lays it out (wrapperobject): the
// slot wrapper it binds and the object it binds it to.
struct MethodWrapper {
  PyObject ob_base;
  PyWrapperDescrObject* descr;
  PyObject* self;
};

// The type of method-wrappers: what a slot wrapper's binding gives, a static
// type of the interpreter (null until first seen).
PyTypeObject* method_wrapper_type = nullptr;

}  // namespace

bool binds_generic_setattr(PyObject* method, PyObject* self) noexcept {
  PyObject* setattr_descriptor = _PyType_Lookup(&PyBaseObject_Type, names::dunder_setattr.get());
  if (setattr_descriptor == nullptr || !Py_IS_TYPE(setattr_descriptor, &PyWrapperDescr_Type) ||
      Py_TYPE(self)->tp_setattro != PyObject_GenericSetAttr) {
    return false;
  }
  if (method_wrapper_type == nullptr) {
    Ref bound = Ref::steal(PyWrapperDescr_Type.tp_descr_get(
        setattr_descriptor, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!bound) {
      // A failed allocation tells nothing: the method is called as it is.
      clear_if_ordinary();
      return false;
    }
    if (PyType_HasFeature(Py_TYPE(bound.get()), Py_TPFLAGS_HEAPTYPE)) return false;
    method_wrapper_type = Py_TYPE(bound.get());
  }
  if (!Py_IS_TYPE(method, method_wrapper_type)) return false;
  auto* wrapper = reinterpret_cast<MethodWrapper*>(method);
  return reinterpret_cast<PyObject*>(wrapper->descr) == setattr_descriptor && wrapper->self == self;
}

}  // namespace frame
