#include "module_frame/function.hpp"

#include <structmember.h>

namespace frame {

namespace {

// The Python-level function type of our modules' functions and methods.
struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  FunctionSpec* spec;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* annotations;
  PyObject* code;
  PyObject* traceback_name;
  PyObject* source_path;
  PyObject* defining_class;
  PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* self = as_function(callable);
  return run_call(*self->spec, self->globals, self->defining_class, self->traceback_name,
                  self->source_path, args, nargsf, kwnames);
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
  FunctionObject* self = as_function(object);
  Py_VISIT(self->globals);
  Py_VISIT(self->name);
  Py_VISIT(self->qualname);
  Py_VISIT(self->module);
  Py_VISIT(self->doc);
  Py_VISIT(self->dict);
  Py_VISIT(self->annotations);
  Py_VISIT(self->code);
  Py_VISIT(self->traceback_name);
  Py_VISIT(self->source_path);
  Py_VISIT(self->defining_class);
  return 0;
}

int function_clear(PyObject* object) {
  FunctionObject* self = as_function(object);
  Py_CLEAR(self->globals);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  Py_CLEAR(self->module);
  Py_CLEAR(self->doc);
  Py_CLEAR(self->dict);
  Py_CLEAR(self->annotations);
  Py_CLEAR(self->code);
  Py_CLEAR(self->traceback_name);
  Py_CLEAR(self->source_path);
  Py_CLEAR(self->defining_class);
  return 0;
}

void function_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  if (as_function(object)->weakreflist != nullptr) PyObject_ClearWeakRefs(object);
  function_clear(object);
  PyObject_GC_Del(object);
}

PyObject* function_repr(PyObject* object) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(object)->qualname, object);
}

// Looked up on a class it is the function itself; on an instance, a bound method.
PyObject* method_descr_get(PyObject* object, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Ref::borrow(object).release();
  return PyMethod_New(object, instance);
}

PyObject* static_descr_get(PyObject* object, PyObject*, PyObject*) {
  return Ref::borrow(object).release();
}

// Stored by reference, like any Python function: pickle looks the qualified
// name up in the module.
PyObject* function_reduce(PyObject* object, PyObject*) {
  return Ref::borrow(as_function(object)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_str_field(PyObject* field) { return Ref::borrow(field).release(); }

int set_str_field(PyObject*& field, PyObject* value, const char* attribute) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(field, value);
  return 0;
}

PyObject* get_name(PyObject* object, void*) { return get_str_field(as_function(object)->name); }
int set_name(PyObject* object, PyObject* value, void*) {
  return set_str_field(as_function(object)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* object, void*) {
  return get_str_field(as_function(object)->qualname);
}
int set_qualname(PyObject* object, PyObject* value, void*) {
  return set_str_field(as_function(object)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* object, void*) {
  FunctionObject* self = as_function(object);
  if (self->annotations == nullptr) {
    self->annotations = PyDict_New();
    if (self->annotations == nullptr) return nullptr;
  }
  return Ref::borrow(self->annotations).release();
}
int set_annotations(PyObject* object, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(object)->annotations, value);
  return 0;
}

// No parameter has a default.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_type(const char* name, descrgetfunc descr_get, unsigned long extra_flags) {
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = name;
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | extra_flags;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  type.tp_methods = function_methods;
  type.tp_members = function_members;
  type.tp_getset = function_getset;
  type.tp_descr_get = descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  return type;
}

// Two types that differ only in binding. The method type lets the interpreter
// call it unbound with the instance prepended, as it does for plain functions.
PyTypeObject method_function_type =
    make_type("dravolt_common.native_function", method_descr_get, Py_TPFLAGS_METHOD_DESCRIPTOR);
PyTypeObject static_function_type =
    make_type("dravolt_common.native_static_function", static_descr_get, 0);

PyTypeObject* ready_type(Binding binding) {
  PyTypeObject* type = binding == Binding::kStatic ? &static_function_type : &method_function_type;
  if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0) return nullptr;
  return type;
}

Ref build_annotations(PyObject* globals, const FunctionSpec& spec) {
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return annotations;
  for (const Annotation& annotation : spec.annotations) {
    Ref value = Ref::borrow(Py_None);
    if (annotation.global != nullptr) {
      Ref name = Ref::steal(PyUnicode_InternFromString(annotation.global));
      if (!name) return Ref();
      value = lookup_global(globals, name.get());
    }
    if (!value || PyDict_SetItemString(annotations.get(), annotation.key, value.get()) < 0) {
      return Ref();
    }
  }
  return annotations;
}

// A code object that records the signature, so that standard introspection
// (inspect.signature) reports it. Built through CodeType.replace, which keeps
// this independent of the code object's layout in a given CPython.
Ref build_code(const FunctionSpec& spec, PyObject* source_path) {
  const Signature& signature = spec.signature;
  Py_ssize_t variable_count = signature.count + (signature.star_args ? 1 : 0) +
                              (signature.star_kwargs ? 1 : 0) +
                              static_cast<Py_ssize_t>(spec.locals.size());
  Ref varnames = Ref::steal(PyTuple_New(variable_count));
  if (!varnames) return Ref();
  Py_ssize_t index = 0;
  auto add = [&](const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(varnames.get(), index++, name);
    return true;
  };
  for (int i = 0; i < signature.count; ++i) {
    if (!add(signature.parameters[i])) return Ref();
  }
  if (signature.star_args && !add(signature.star_args)) return Ref();
  if (signature.star_kwargs && !add(signature.star_kwargs)) return Ref();
  for (const char* local : spec.locals) {
    if (!add(local)) return Ref();
  }

  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (signature.star_args ? CO_VARARGS : 0) |
              (signature.star_kwargs ? CO_VARKEYWORDS : 0);
  const char* file = PyUnicode_AsUTF8(source_path);
  if (file == nullptr) return Ref();
  Ref empty =
      Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, signature.name, spec.line)));
  if (!empty) return Ref();
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref changes =
      Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:n,s:i,s:O}", "co_argcount", signature.count,
                               "co_posonlyargcount", 0, "co_kwonlyargcount", 0, "co_nlocals",
                               variable_count, "co_flags", flags, "co_varnames", varnames.get()));
  if (!replace || !no_args || !changes) return Ref();
  return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

}  // namespace

Ref make_function(Module& module, FunctionSpec& spec) noexcept {
  PyTypeObject* type = ready_type(spec.binding);
  if (type == nullptr || spec.signature.intern() < 0) return Ref();
  Ref object = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, type)));
  if (!object) return object;
  FunctionObject* self = as_function(object.get());
  self->vectorcall = function_vectorcall;
  self->spec = &spec;
  self->globals = Ref::borrow(module.globals()).release();
  self->name = PyUnicode_InternFromString(spec.signature.name);
  self->qualname = PyUnicode_InternFromString(spec.qualname);
  self->module = Ref::borrow(module.name()).release();
  self->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Ref::borrow(Py_None).release();
  self->dict = nullptr;
  self->annotations = nullptr;
  self->code = nullptr;
  self->traceback_name = PyUnicode_FromFormat("%U.%s", module.name(), spec.qualname);
  self->source_path = Ref::borrow(module.source_path()).release();
  self->defining_class = nullptr;
  self->weakreflist = nullptr;
  PyObject_GC_Track(object.get());
  if (!self->name || !self->qualname || !self->doc || !self->traceback_name) return Ref();
  self->annotations = build_annotations(module.globals(), spec).release();
  if (self->annotations == nullptr) return Ref();
  self->code = build_code(spec, module.source_path()).release();
  if (self->code == nullptr) return Ref();
  return object;
}

void tie_to_class(PyObject* function, PyObject* cls) noexcept {
  Py_INCREF(cls);
  Py_XSETREF(as_function(function)->defining_class, cls);
}

}  // namespace frame
