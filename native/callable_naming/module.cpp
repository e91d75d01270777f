#include "callable_naming.hpp"

namespace callable_naming {

using frame::Ref;

namespace {

frame::Name typing{"typing"};
frame::Name Callable{"Callable"};
frame::Name types{"types"};
frame::Name WRAPPER_DESCRIPTOR{"WRAPPER_DESCRIPTOR"};
frame::Name QUALNAME_STR{"QUALNAME_STR"};
frame::Name FUNC_STR{"FUNC_STR"};
frame::Name FUNC_NAME{"FUNC_NAME"};
frame::Name SELF_CONST{"SELF_CONST"};
frame::Name METHOD_DESCRIPTOR{"METHOD_DESCRIPTOR"};
frame::Name MODULE_STR{"MODULE_STR"};
frame::Name CLASS_STR{"CLASS_STR"};
frame::Name INIT_STR{"INIT_STR"};
frame::Name BUILTINS{"BUILTINS"};
frame::Name OBJ_CLASS{"OBJ_CLASS"};
frame::Name get_function_module{"get_function_module"};
frame::Name get_function_full_name{"get_function_full_name"};

Ref text(const char* value) { return Ref::steal(PyUnicode_FromString(value)); }

// type(type.__init__): the type of slot wrappers.
Ref slot_wrapper_type() {
  Ref init =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__init__"));
  if (!init) return init;
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(init.get())));
}

// type(type.__dict__["mro"]): the type of method descriptors.
Ref method_descriptor_type() {
  Ref type_dict =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
  if (!type_dict) return type_dict;
  Ref key = text("mro");
  if (!key) return key;
  Ref mro = Ref::steal(PyObject_GetItem(type_dict.get(), key.get()));
  if (!mro) return mro;
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(mro.get())));
}

int body(frame::Module& module) {
  PyObject* globals = module.globals();
  if (module.bind(Callable, frame::import_from(globals, typing.get(), Callable.get())) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(types, frame::import_module(globals, types.get())) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(WRAPPER_DESCRIPTOR, slot_wrapper_type()) < 0) return module.fail(__LINE__);
  if (module.bind(QUALNAME_STR, text("__qualname__")) < 0) return module.fail(__LINE__);
  if (module.bind(FUNC_STR, text("__func__")) < 0) return module.fail(__LINE__);
  if (module.bind(FUNC_NAME, text("__name__")) < 0) return module.fail(__LINE__);
  if (module.bind(SELF_CONST, text("__self__")) < 0) return module.fail(__LINE__);
  if (module.bind(METHOD_DESCRIPTOR, method_descriptor_type()) < 0) return module.fail(__LINE__);
  if (module.bind(MODULE_STR, text("__module__")) < 0) return module.fail(__LINE__);
  if (module.bind(CLASS_STR, text("__class__")) < 0) return module.fail(__LINE__);
  if (module.bind(INIT_STR, text("__init__")) < 0) return module.fail(__LINE__);
  if (module.bind(BUILTINS, text("builtins")) < 0) return module.fail(__LINE__);
  if (module.bind(OBJ_CLASS, text("__objclass__")) < 0) return module.fail(__LINE__);
  if (module.bind(get_function_module,
                  frame::define_builtin<get_function_module_spec, callable_naming::module>()) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(get_function_full_name,
                  frame::define_builtin<get_function_full_name_spec, callable_naming::module>()) <
      0) {
    return module.fail(__LINE__);
  }
  return 0;
}

}  // namespace

frame::Module module{"callable_naming", "dravolt_common.callable_naming",
                     "dravolt_common/callable_naming", body};

}  // namespace callable_naming

PyMODINIT_FUNC PyInit_callable_naming() { return callable_naming::module.init(); }
