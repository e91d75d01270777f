#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

frame::Name ModuleWrapper{"ModuleWrapper"};
frame::Name ExceptionWrapper{"ExceptionWrapper"};
frame::Name FunctionWrapper{"FunctionWrapper"};
frame::Name import_by_full_name{"import_by_full_name"};
frame::Name special_unpicklers{"special_unpicklers"};
frame::Name get_special_unpickle_function{"get_special_unpickle_function"};
frame::Name jsonpickle_unpickler{"jsonpickle.unpickler"};
frame::Name loadclass_name{"loadclass"};
frame::Name module_full_name_attribute{"module_full_name"};
frame::Name args_attribute{"args"};
frame::Name fullname_attribute{"fullname"};

// Sets `self.<name>` to `str(value)`; nothing is set when the conversion fails.
int set_text_attribute(PyObject* self, const frame::Name& name, PyObject* value) {
  Ref text = Ref::steal(PyObject_Str(value));
  if (!text) return -1;
  return PyObject_SetAttr(self, name.get(), text.get());
}

// The three `__call__` methods: the class bound to `class_name` now, called
// with the positional arguments; the keywords are dropped.
PyObject* construct_anew(frame::Call& call, const frame::Name& class_name) {
  Ref cls = call.global(class_name);
  if (!cls) return call.fail(__LINE__);
  Ref constructed = Ref::steal(PyObject_Call(cls.get(), call.star_args(), nullptr));
  if (!constructed) return call.fail(__LINE__);
  return constructed.release();
}

PyObject* ModuleWrapper_new(frame::Call& call) {
  PyObject* module_full_name = PyTuple_GetItem(call.star_args(), 0);
  if (!module_full_name) return call.fail(__LINE__);
  Ref importer = call.global(import_by_full_name);
  if (!importer) return call.fail(__LINE__);
  Ref module = Ref::steal(PyObject_CallOneArg(importer.get(), module_full_name));
  if (!module) return call.fail(__LINE__);
  return module.release();
}

PyObject* ModuleWrapper_init(frame::Call& call) {
  if (set_text_attribute(call.arg(0), module_full_name_attribute, call.arg(1)) < 0) {
    return call.fail(__LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* ModuleWrapper_call(frame::Call& call) { return construct_anew(call, ModuleWrapper); }

PyObject* ExceptionWrapper_new(frame::Call& call) {
  PyObject* args = call.star_args();
  PyObject* exception_full_name = PyTuple_GetItem(args, 0);
  if (!exception_full_name) return call.fail(__LINE__);
  PyObject* exception_args = PyTuple_GetItem(args, 1);
  if (!exception_args) return call.fail(__LINE__);
  PyObject* exception_dunder_dict = PyTuple_GetItem(args, 2);
  if (!exception_dunder_dict) return call.fail(__LINE__);

  Ref importer = call.global(import_by_full_name);
  if (!importer) return call.fail(__LINE__);
  Ref exception_object = Ref::steal(PyObject_CallOneArg(importer.get(), exception_full_name));
  if (!exception_object) return call.fail(__LINE__);
  Ref unpicklers = call.global(special_unpicklers);
  if (!unpicklers) return call.fail(__LINE__);
  Ref selector =
      Ref::steal(PyObject_GetAttr(unpicklers.get(), get_special_unpickle_function.get()));
  if (!selector) return call.fail(__LINE__);
  Ref unpickle_function = Ref::steal(PyObject_CallOneArg(selector.get(), exception_full_name));
  if (!unpickle_function) return call.fail(__LINE__);

  PyObject* unpickle_args[] = {exception_object.get(), exception_args, exception_dunder_dict};
  Ref exception =
      Ref::steal(PyObject_Vectorcall(unpickle_function.get(), unpickle_args, 3, nullptr));
  if (!exception) return call.fail(__LINE__);
  return exception.release();
}

PyObject* ExceptionWrapper_init(frame::Call& call) {
  if (PyObject_SetAttr(call.arg(0), args_attribute.get(), call.star_args()) < 0) {
    return call.fail(__LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* ExceptionWrapper_call(frame::Call& call) {
  return construct_anew(call, ExceptionWrapper);
}

PyObject* FunctionWrapper_init(frame::Call& call) {
  if (set_text_attribute(call.arg(0), fullname_attribute, call.arg(1)) < 0) {
    return call.fail(__LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* FunctionWrapper_call(frame::Call& call) { return construct_anew(call, FunctionWrapper); }

// Loading calls `loadclass(fullname)`, which gives back the function itself.
PyObject* FunctionWrapper_reduce(frame::Call& call) {
  PyObject* self = call.arg(0);
  Ref loadclass =
      frame::import_from(call.globals(), jsonpickle_unpickler.get(), loadclass_name.get());
  if (!loadclass) return call.fail(__LINE__);
  Ref fullname = Ref::steal(PyObject_GetAttr(self, fullname_attribute.get()));
  if (!fullname) return call.fail(__LINE__);
  Ref arguments = Ref::steal(PyTuple_Pack(1, fullname.get()));
  if (!arguments) return call.fail(__LINE__);
  Ref reduced = Ref::steal(PyTuple_Pack(2, loadclass.get(), arguments.get()));
  if (!reduced) return call.fail(__LINE__);
  return reduced.release();
}

frame::FunctionSpec ModuleWrapper_new_spec{
    .qualname = "ModuleWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .locals = {"module_full_name"},
    .implementation = ModuleWrapper_new,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec ModuleWrapper_init_spec{
    .qualname = "ModuleWrapper.__init__",
    .signature = {"__init__", {"self", "module_full_name"}},
    .annotations = {{"return", nullptr}},
    .implementation = ModuleWrapper_init,
    .line = __LINE__,
};

frame::FunctionSpec ModuleWrapper_call_spec{
    .qualname = "ModuleWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = ModuleWrapper_call,
    .line = __LINE__,
};

frame::FunctionSpec ExceptionWrapper_new_spec{
    .qualname = "ExceptionWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .locals = {"exception_full_name", "exception_args", "exception_dunder_dict", "exception_object",
               "unpickle_function"},
    .implementation = ExceptionWrapper_new,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec ExceptionWrapper_init_spec{
    .qualname = "ExceptionWrapper.__init__",
    .signature = {"__init__", {"self"}, "args"},
    .implementation = ExceptionWrapper_init,
    .line = __LINE__,
};

frame::FunctionSpec ExceptionWrapper_call_spec{
    .qualname = "ExceptionWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = ExceptionWrapper_call,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_init_spec{
    .qualname = "FunctionWrapper.__init__",
    .signature = {"__init__", {"self", "fullname"}},
    .annotations = {{"return", nullptr}},
    .implementation = FunctionWrapper_init,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_call_spec{
    .qualname = "FunctionWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = FunctionWrapper_call,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_reduce_spec{
    .qualname = "FunctionWrapper.__reduce__",
    .signature = {"__reduce__", {"self"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .locals = {"loadclass"},
    .implementation = FunctionWrapper_reduce,
    .line = __LINE__,
};

}  // namespace

const frame::ClassSpec module_wrapper_class{
    ModuleWrapper,
    nullptr,
    {&ModuleWrapper_new_spec, &ModuleWrapper_init_spec, &ModuleWrapper_call_spec}};

const frame::ClassSpec exception_wrapper_class{
    ExceptionWrapper,
    nullptr,
    {&ExceptionWrapper_new_spec, &ExceptionWrapper_init_spec, &ExceptionWrapper_call_spec}};

const frame::ClassSpec function_wrapper_class{
    FunctionWrapper,
    nullptr,
    {&FunctionWrapper_init_spec, &FunctionWrapper_call_spec, &FunctionWrapper_reduce_spec}};

}  // namespace payload_wrapper
