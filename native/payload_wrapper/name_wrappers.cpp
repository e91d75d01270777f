// Python.h comes before any standard header: its pyconfig.h sets the feature
// macros the C library reads.
#include <Python.h>

#include <source_location>

#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

// `self.<name> = str(value)`; nothing is set when the conversion fails.
Ref set_text_attribute(frame::Call& call, const frame::Name& name) {
  Ref text = Ref::steal(PyObject_Str(call.arg(1)));
  if (!text) return call.fail();
  if (PyObject_SetAttr(call.arg(0), name.get(), text.get()) < 0) return call.fail();
  return Ref::borrow(Py_None);
}

// The three `__call__` methods: the class bound to `class_name` now, called
// with the positional arguments; the keywords are dropped.
Ref construct_anew(frame::Call& call, const frame::Name& class_name) {
  Ref cls = call.global(class_name);
  if (!cls) return call.fail();
  Ref constructed = Ref::steal(PyObject_Call(cls.get(), call.star_args(), nullptr));
  if (!constructed) return call.fail();
  return constructed;
}

Ref ModuleWrapper_new(frame::Call& call) {
  PyObject* module_full_name = PyTuple_GetItem(call.star_args(), 0);
  if (!module_full_name) return call.fail();
  Ref importer = call.global(names::import_by_full_name);
  if (!importer) return call.fail();
  Ref module = Ref::steal(PyObject_CallOneArg(importer.get(), module_full_name));
  if (!module) return call.fail();
  return module;
}

Ref ModuleWrapper_init(frame::Call& call) {
  return set_text_attribute(call, names::module_full_name);
}

Ref ModuleWrapper_call(frame::Call& call) { return construct_anew(call, names::ModuleWrapper); }

Ref ExceptionWrapper_new(frame::Call& call) {
  PyObject* args = call.star_args();
  PyObject* exception_full_name = PyTuple_GetItem(args, 0);
  if (!exception_full_name) return call.fail();
  PyObject* exception_args = PyTuple_GetItem(args, 1);
  if (!exception_args) return call.fail();
  PyObject* exception_dunder_dict = PyTuple_GetItem(args, 2);
  if (!exception_dunder_dict) return call.fail();

  Ref importer = call.global(names::import_by_full_name);
  if (!importer) return call.fail();
  Ref exception_object = Ref::steal(PyObject_CallOneArg(importer.get(), exception_full_name));
  if (!exception_object) return call.fail();
  Ref unpicklers = call.global(names::special_unpicklers);
  if (!unpicklers) return call.fail();
  Ref selector =
      Ref::steal(PyObject_GetAttr(unpicklers.get(), names::get_special_unpickle_function.get()));
  if (!selector) return call.fail();
  Ref unpickle_function = Ref::steal(PyObject_CallOneArg(selector.get(), exception_full_name));
  if (!unpickle_function) return call.fail();

  PyObject* unpickle_args[] = {exception_object.get(), exception_args, exception_dunder_dict};
  Ref exception =
      Ref::steal(PyObject_Vectorcall(unpickle_function.get(), unpickle_args, 3, nullptr));
  if (!exception) return call.fail();
  return exception;
}

Ref ExceptionWrapper_init(frame::Call& call) {
  if (PyObject_SetAttr(call.arg(0), names::args.get(), call.star_args()) < 0) return call.fail();
  return Ref::borrow(Py_None);
}

Ref ExceptionWrapper_call(frame::Call& call) {
  return construct_anew(call, names::ExceptionWrapper);
}

Ref FunctionWrapper_init(frame::Call& call) { return set_text_attribute(call, names::fullname); }

Ref FunctionWrapper_call(frame::Call& call) { return construct_anew(call, names::FunctionWrapper); }

// Loading calls `loadclass(fullname)`, which gives back the function itself.
Ref FunctionWrapper_reduce(frame::Call& call) {
  PyObject* self = call.arg(0);
  Ref loadclass =
      frame::import_from(call.globals(), names::jsonpickle_unpickler.get(), names::loadclass.get());
  if (!loadclass) return call.fail();
  Ref fullname = Ref::steal(PyObject_GetAttr(self, names::fullname.get()));
  if (!fullname) return call.fail();
  Ref arguments = Ref::steal(PyTuple_Pack(1, fullname.get()));
  if (!arguments) return call.fail();
  Ref reduced = Ref::steal(PyTuple_Pack(2, loadclass.get(), arguments.get()));
  if (!reduced) return call.fail();
  return reduced;
}

// The three `__call__` methods have one signature.
constexpr frame::FunctionSpec call_spec(
    const char* qualname, frame::Implementation implementation,
    std::source_location where = std::source_location::current()) {
  return {
      .qualname = qualname,
      .parameters = {"self"},
      .star_args = "args",
      .star_kwargs = "kwds",
      .annotations = {{"args", &names::Any}, {"kwds", &names::Any}, {"return", &names::Any}},
      .implementation = implementation,
      .line = static_cast<int>(where.line()),
  };
}

constinit const frame::FunctionSpec ModuleWrapper_new_spec{
    .qualname = "ModuleWrapper.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .locals = {"module_full_name"},
    .implementation = ModuleWrapper_new,
};

constinit const frame::FunctionSpec ModuleWrapper_init_spec{
    .qualname = "ModuleWrapper.__init__",
    .parameters = {"self", "module_full_name"},
    .annotations = {{"return", nullptr}},
    .implementation = ModuleWrapper_init,
};

constinit const frame::FunctionSpec ModuleWrapper_call_spec =
    call_spec("ModuleWrapper.__call__", ModuleWrapper_call);

constinit const frame::FunctionSpec ExceptionWrapper_new_spec{
    .qualname = "ExceptionWrapper.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .locals = {"exception_full_name", "exception_args", "exception_dunder_dict", "exception_object",
               "unpickle_function"},
    .implementation = ExceptionWrapper_new,
};

constinit const frame::FunctionSpec ExceptionWrapper_init_spec{
    .qualname = "ExceptionWrapper.__init__",
    .parameters = {"self"},
    .star_args = "args",
    .implementation = ExceptionWrapper_init,
};

constinit const frame::FunctionSpec ExceptionWrapper_call_spec =
    call_spec("ExceptionWrapper.__call__", ExceptionWrapper_call);

constinit const frame::FunctionSpec FunctionWrapper_init_spec{
    .qualname = "FunctionWrapper.__init__",
    .parameters = {"self", "fullname"},
    .annotations = {{"return", nullptr}},
    .implementation = FunctionWrapper_init,
};

constinit const frame::FunctionSpec FunctionWrapper_call_spec =
    call_spec("FunctionWrapper.__call__", FunctionWrapper_call);

constinit const frame::FunctionSpec FunctionWrapper_reduce_spec{
    .qualname = "FunctionWrapper.__reduce__",
    .parameters = {"self"},
    .convention = frame::Convention::kSingleArgument,
    .locals = {"loadclass"},
    .implementation = FunctionWrapper_reduce,
};

}  // namespace

constinit const frame::ClassSpec module_wrapper_class{
    .name = names::ModuleWrapper,
    .methods = {&ModuleWrapper_new_spec, &ModuleWrapper_init_spec, &ModuleWrapper_call_spec},
};

constinit const frame::ClassSpec exception_wrapper_class{
    .name = names::ExceptionWrapper,
    .methods = {&ExceptionWrapper_new_spec, &ExceptionWrapper_init_spec,
                &ExceptionWrapper_call_spec},
};

constinit const frame::ClassSpec function_wrapper_class{
    .name = names::FunctionWrapper,
    .methods = {&FunctionWrapper_init_spec, &FunctionWrapper_call_spec,
                &FunctionWrapper_reduce_spec},
};

}  // namespace payload_wrapper
