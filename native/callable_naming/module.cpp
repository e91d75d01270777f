#include "callable_naming.hpp"

namespace callable_naming {

using frame::Ref;

namespace {

// type(type.__init__): the type of slot wrappers.
Ref slot_wrapper_type() {
  Ref init = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyType_Type), frame::names::dunder_init.get()));
  if (!init) return init;
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(init.get())));
}

// type(type.__dict__["mro"]): the type of method descriptors.
Ref method_descriptor_type() {
  Ref type_dict = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyType_Type), frame::names::dunder_dict.get()));
  if (!type_dict) return type_dict;
  Ref mro = Ref::steal(PyObject_GetItem(type_dict.get(), names::mro.get()));
  if (!mro) return mro;
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(mro.get())));
}

int body(frame::Module& module) {
  namespace dunder = frame::names;
  if (module.bind_from(names::typing, {&names::Callable}) < 0) return module.fail();
  if (module.bind_import(names::types) < 0) return module.fail();
  if (module.bind(names::WRAPPER_DESCRIPTOR, slot_wrapper_type()) < 0) return module.fail();
  if (module.bind_texts({{names::QUALNAME_STR, dunder::dunder_qualname},
                         {names::FUNC_STR, dunder::dunder_func},
                         {names::FUNC_NAME, dunder::dunder_name},
                         {names::SELF_CONST, dunder::dunder_self}}) < 0) {
    return module.fail();
  }
  if (module.bind(names::METHOD_DESCRIPTOR, method_descriptor_type()) < 0) return module.fail();
  if (module.bind_texts({{names::MODULE_STR, dunder::dunder_module},
                         {names::CLASS_STR, dunder::dunder_class},
                         {names::INIT_STR, dunder::dunder_init},
                         {names::BUILTINS, dunder::builtins},
                         {names::OBJ_CLASS, dunder::dunder_objclass}}) < 0) {
    return module.fail();
  }
  if (frame::define_builtin<get_function_module_builtin>(module) < 0) return module.fail();
  if (frame::define_builtin<get_function_full_name_builtin>(module) < 0) return module.fail();
  return 0;
}

constinit const frame::ModuleSpec spec{
    .short_name = "callable_naming",
    .full_name = "dravolt_common.callable_naming",
    .source_path = "dravolt_common/callable_naming",
    .names = names::all,
    .body = body,
};

frame::Module module{spec};

}  // namespace

}  // namespace callable_naming

PyMODINIT_FUNC PyInit_callable_naming() { return callable_naming::module.init(); }
