#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

frame::Name SpecialWrapper{"SpecialWrapper"};
frame::Name UnpicklableObject{"UnpicklableObject"};
frame::Name PayloadWrapperBase{"PayloadWrapperBase"};
frame::Name jsonpickle_unpickler{"jsonpickle.unpickler"};
frame::Name loadclass_name{"loadclass"};
frame::Name cls_name{"cls"};
frame::Name funcs_name{"funcs"};
frame::Name dunder_dict{"__dict__"};

// Runs the callable named by the first positional argument on the others.
PyObject* SpecialWrapper_new(frame::Call& call) {
  PyObject* args = call.star_args();
  Ref loadclass =
      frame::import_from(call.globals(), jsonpickle_unpickler.get(), loadclass_name.get());
  if (!loadclass) return call.fail(__LINE__);
  PyObject* full_name = PyTuple_GetItem(args, 0);
  if (!full_name) return call.fail(__LINE__);
  Ref function_to_run = Ref::steal(PyObject_CallOneArg(loadclass.get(), full_name));
  if (!function_to_run) return call.fail(__LINE__);
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
  if (!rest) return call.fail(__LINE__);
  // The keyword dictionary was made for this call: the callee may keep it.
  Ref result = Ref::steal(PyObject_Call(function_to_run.get(), rest.get(), call.star_kwargs()));
  if (!result) return call.fail(__LINE__);
  return result.release();
}

PyObject* UnpicklableObject_new(frame::Call& call) {
  Ref new_obj = frame::call_super_new(call.defining_class(), call.arg(0), call.star_args());
  if (!new_obj) return call.fail(__LINE__);
  return new_obj.release();
}

// Rebuilt from the str form of cls and the funcs; the state still holds both.
PyObject* UnpicklableObject_reduce(frame::Call& call) {
  PyObject* self = call.arg(0);
  Ref object_class = call.global(UnpicklableObject);
  if (!object_class) return call.fail(__LINE__);
  Ref cls = Ref::steal(PyObject_GetAttr(self, cls_name.get()));
  if (!cls) return call.fail(__LINE__);
  Ref cls_text = Ref::steal(PyObject_Str(cls.get()));
  if (!cls_text) return call.fail(__LINE__);
  Ref funcs = Ref::steal(PyObject_GetAttr(self, funcs_name.get()));
  if (!funcs) return call.fail(__LINE__);
  Ref arguments = Ref::steal(PyTuple_Pack(2, cls_text.get(), funcs.get()));
  if (!arguments) return call.fail(__LINE__);
  Ref state = Ref::steal(PyObject_GetAttr(self, dunder_dict.get()));
  if (!state) return call.fail(__LINE__);
  Ref reduced = Ref::steal(PyTuple_Pack(3, object_class.get(), arguments.get(), state.get()));
  if (!reduced) return call.fail(__LINE__);
  return reduced.release();
}

frame::FunctionSpec SpecialWrapper_new_spec{
    .qualname = "SpecialWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args", "kwargs"},
    .locals = {"loadclass", "full_name", "function_to_run"},
    .implementation = SpecialWrapper_new,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec UnpicklableObject_new_spec{
    .qualname = "UnpicklableObject.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .implementation = UnpicklableObject_new,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
    .uses_class = true,
};

frame::FunctionSpec UnpicklableObject_reduce_spec{
    .qualname = "UnpicklableObject.__reduce__",
    .signature = {"__reduce__", {"self"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .implementation = UnpicklableObject_reduce,
    .line = __LINE__,
};

}  // namespace

const frame::ClassSpec special_wrapper_class{SpecialWrapper, nullptr, {&SpecialWrapper_new_spec}};

const frame::ClassSpec unpicklable_object_class{
    UnpicklableObject,
    &PayloadWrapperBase,
    {&UnpicklableObject_new_spec, &UnpicklableObject_reduce_spec}};

}  // namespace payload_wrapper
