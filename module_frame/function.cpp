#include "module_frame/function.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "module_frame/globals.hpp"
#include "module_frame/names.hpp"

namespace frame {

namespace {

// What a function object holds, constructed in place when the object is made.
struct FunctionState {
  CallSite site;
  Ref name;
  Ref qualname;
  Ref module;
  Ref doc;
  Ref annotations;
  Ref code;  // made when first asked for
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* dict;         // the interpreter's generic __dict__ manages it
  PyObject* weakreflist;  // the interpreter's weak references manage it
  FunctionState state;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }
FunctionState& state_of(PyObject* object) { return as_function(object)->state; }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  // Our functions can call each other with no Python frame in between (a
  // rebound global): the recursion limit applies to them as to any call.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = state_of(callable).site.run(args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return result;
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
  FunctionState& state = state_of(object);
  Py_VISIT(state.site.globals.get());
  Py_VISIT(state.site.defining_class.get());
  Py_VISIT(state.module.get());
  Py_VISIT(state.doc.get());
  Py_VISIT(state.annotations.get());
  Py_VISIT(state.code.get());
  Py_VISIT(as_function(object)->dict);
  return 0;
}

// Breaks the cycles that run through what users can set. The namespace and
// the class break their own cycles, so the call site stays whole: a function
// that a finaliser calls after a collection cleared it still runs. The name
// and qualified name are str and stay for repr.
int function_clear(PyObject* object) {
  FunctionState& state = state_of(object);
  state.module = Ref();
  state.doc = Ref();
  state.annotations = Ref();
  Py_CLEAR(as_function(object)->dict);
  return 0;
}

void function_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  if (as_function(object)->weakreflist != nullptr) PyObject_ClearWeakRefs(object);
  Py_CLEAR(as_function(object)->dict);
  state_of(object).~FunctionState();
  PyObject_GC_Del(object);
}

PyObject* function_repr(PyObject* object) {
  return PyUnicode_FromFormat("<function %U at %p>", state_of(object).qualname.get(), object);
}

// Looked up on a class it is the function itself; on an instance, a bound method.
PyObject* function_descr_get(PyObject* function, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(function);
  return PyMethod_New(function, instance);
}

// Stored by reference, like any Python function: pickle looks the qualified
// name up in the module.
PyObject* function_reduce(PyObject* object, PyObject*) {
  return Py_NewRef(state_of(object).qualname.get());
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_text(const Ref& field) { return Py_NewRef(field.get()); }

int set_text(Ref& field, PyObject* value, const char* attribute) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  field = Ref::borrow(value);
  return 0;
}

// __module__ and __doc__ take any value; deleting one leaves None.
PyObject* get_any(const Ref& field) { return Py_NewRef(field ? field.get() : Py_None); }

int set_any(Ref& field, PyObject* value) {
  field = Ref::borrow(value);
  return 0;
}

PyObject* get_name(PyObject* object, void*) { return get_text(state_of(object).name); }
int set_name(PyObject* object, PyObject* value, void*) {
  return set_text(state_of(object).name, value, "__name__");
}
PyObject* get_qualname(PyObject* object, void*) { return get_text(state_of(object).qualname); }
int set_qualname(PyObject* object, PyObject* value, void*) {
  return set_text(state_of(object).qualname, value, "__qualname__");
}
PyObject* get_module(PyObject* object, void*) { return get_any(state_of(object).module); }
int set_module(PyObject* object, PyObject* value, void*) {
  return set_any(state_of(object).module, value);
}
PyObject* get_doc(PyObject* object, void*) { return get_any(state_of(object).doc); }
int set_doc(PyObject* object, PyObject* value, void*) {
  return set_any(state_of(object).doc, value);
}

PyObject* get_annotations(PyObject* object, void*) {
  Ref& annotations = state_of(object).annotations;
  if (!annotations) {
    Ref made = Ref::steal(PyDict_New());
    if (!made) return nullptr;
    if (!annotations) annotations = std::move(made);
  }
  return Py_NewRef(annotations.get());
}
int set_annotations(PyObject* object, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  state_of(object).annotations = Ref::borrow(value);
  return 0;
}

PyObject* get_globals(PyObject* object, void*) {
  return Py_NewRef(state_of(object).site.globals.get());
}

// No parameter has a default.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// A code object that records the signature, so that standard introspection
// (inspect.signature) reports it. Built through CodeType.replace, which keeps
// this independent of the code object's layout in a given CPython.
Ref build_code(const FunctionSpec& spec, PyObject* source_path) {
  const char* names[kMaxParameters + 2 + kMaxLocals];
  int count = 0;
  for (const char* parameter : spec.parameters) {
    if (parameter) names[count++] = parameter;
  }
  if (spec.star_args) names[count++] = spec.star_args;
  if (spec.star_kwargs) names[count++] = spec.star_kwargs;
  for (const char* local : spec.locals) {
    if (local) names[count++] = local;
  }
  Ref varnames = Ref::steal(PyTuple_New(count));
  if (!varnames) return Ref();
  for (int i = 0; i < count; ++i) {
    PyObject* name = PyUnicode_InternFromString(names[i]);
    if (name == nullptr) return Ref();
    PyTuple_SET_ITEM(varnames.get(), i, name);
  }

  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.star_args ? CO_VARARGS : 0) |
              (spec.star_kwargs ? CO_VARKEYWORDS : 0);
  const char* file = PyUnicode_AsUTF8(source_path);
  if (file == nullptr) return Ref();
  Ref empty =
      Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, spec.name(), spec.line)));
  if (!empty) return Ref();
  Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), names::replace.get()));
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref changes =
      Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:i,s:O}", "co_argcount", spec.parameter_count(),
                               "co_posonlyargcount", 0, "co_kwonlyargcount", 0, "co_nlocals", count,
                               "co_flags", flags, "co_varnames", varnames.get()));
  if (!replace || !no_args || !changes) return Ref();
  return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

PyObject* get_code(PyObject* object, void*) {
  FunctionState& state = state_of(object);
  if (!state.code) {
    Ref code = build_code(*state.site.spec, state.site.source_path);
    if (!code) return nullptr;
    // A finaliser run meanwhile may have asked for it too.
    if (!state.code) state.code = std::move(code);
  }
  return Py_NewRef(state.code.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_function_type() {
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "dravolt_common.native_function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  // Like a plain function, the interpreter may call it unbound with the
  // instance prepended instead of making a bound method.
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  type.tp_methods = function_methods;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  return type;
}

PyTypeObject function_type = make_function_type();

Ref build_annotations(PyObject* globals, const FunctionSpec& spec) {
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return annotations;
  for (const Annotation& annotation : spec.annotations) {
    if (annotation.key == nullptr) break;
    Ref value =
        annotation.global ? lookup_global(globals, *annotation.global) : Ref::borrow(Py_None);
    if (!value || PyDict_SetItemString(annotations.get(), annotation.key, value.get()) < 0) {
      return Ref();
    }
  }
  return annotations;
}

}  // namespace

Ref make_function(Module& module, const FunctionSpec& spec) noexcept {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) {
    return Ref();
  }
  // Everything is made before the object, so that no collection meets it half made.
  FunctionState state{
      .site = {.spec = &spec,
               .globals = Ref::borrow(module.globals()),
               .traceback_name =
                   Ref::steal(PyUnicode_FromFormat("%U.%s", module.name(), spec.qualname)),
               .source_path = module.source_path()},
      .name = Ref::steal(PyUnicode_InternFromString(spec.name())),
      .qualname = Ref::steal(PyUnicode_InternFromString(spec.qualname)),
      .module = Ref::borrow(module.name()),
      .doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None),
  };
  if (!state.site.traceback_name || !state.name || !state.qualname || !state.doc) return Ref();
  state.site.parameter_count = spec.parameter_count();
  state.site.named_only = spec.star_args == nullptr && spec.star_kwargs == nullptr;
  for (int i = 0; i < state.site.parameter_count; ++i) {
    state.site.parameter_names[i] = Ref::steal(PyUnicode_InternFromString(spec.parameters[i]));
    if (!state.site.parameter_names[i]) return Ref();
  }
  state.annotations = build_annotations(module.globals(), spec);
  if (!state.annotations) return Ref();

  FunctionObject* self = PyObject_GC_New(FunctionObject, &function_type);
  if (self == nullptr) return Ref();
  self->vectorcall = function_vectorcall;
  self->dict = nullptr;
  self->weakreflist = nullptr;
  new (&self->state) FunctionState(std::move(state));
  PyObject_GC_Track(self);
  return Ref::steal(reinterpret_cast<PyObject*>(self));
}

int define_function(Module& module, const FunctionSpec& spec) noexcept {
  Ref name = Ref::steal(PyUnicode_InternFromString(spec.name()));
  if (!name) return -1;
  return module.bind(name.get(), make_function(module, spec));
}

void tie_to_class(PyObject* function, PyObject* cls) noexcept {
  state_of(function).site.defining_class = Ref::borrow(cls);
}

const CallSite& call_site(PyObject* function) noexcept { return state_of(function).site; }

bool call_with_star_args(PyObject* function, PyObject* first, PyObject* rest,
                         Ref& result) noexcept {
  if (!Py_IS_TYPE(function, &function_type) || !PyTuple_CheckExact(rest)) return false;
  const CallSite& site = state_of(function).site;
  if (site.parameter_count != 1 || site.spec->star_args == nullptr ||
      site.spec->star_kwargs != nullptr) {
    return false;
  }
  // The function is held for the call: a finaliser run meanwhile may drop it.
  Ref held = Ref::borrow(function);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return true;
  result = Ref::steal(site.run_with_star_args(first, rest));
  Py_LeaveRecursiveCall();
  return true;
}

}  // namespace frame
