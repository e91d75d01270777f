#include "allowlist.hpp"
#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

// Runs the callable named by the first positional argument on the others.
Ref SpecialWrapper_new(frame::Call& call) {
  PyObject* args = call.star_args();
  Ref loadclass =
      frame::import_from(call.globals(), names::jsonpickle_unpickler.get(), names::loadclass.get());
  if (!loadclass) return call.fail();
  PyObject* full_name = PyTuple_GetItem(args, 0);
  if (!full_name) return call.fail();
  if (allowlist::check_name(full_name, loadclass) < 0) return call.fail();
  Ref function_to_run = Ref::steal(PyObject_CallOneArg(loadclass.get(), full_name));
  if (!function_to_run) return call.fail();
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
  if (!rest) return call.fail();
  // The keyword dictionary was made for this call: the callee may keep it.
  Ref result = Ref::steal(PyObject_Call(function_to_run.get(), rest.get(), call.star_kwargs()));
  if (!result) return call.fail();
  return result;
}

Ref UnpicklableObject_new(frame::Call& call) {
  Ref new_obj = frame::call_super_new(call.defining_class(), call.arg(0), call.star_args());
  if (!new_obj) return call.fail();
  return new_obj;
}

// Rebuilt from the str form of cls and the funcs; the state still holds both.
Ref UnpicklableObject_reduce(frame::Call& call) {
  PyObject* self = call.arg(0);
  Ref object_class = call.global(names::UnpicklableObject);
  if (!object_class) return call.fail();
  Ref cls = Ref::steal(PyObject_GetAttr(self, names::cls.get()));
  if (!cls) return call.fail();
  Ref cls_text = Ref::steal(PyObject_Str(cls.get()));
  if (!cls_text) return call.fail();
  Ref funcs = Ref::steal(PyObject_GetAttr(self, names::funcs.get()));
  if (!funcs) return call.fail();
  Ref arguments = Ref::steal(PyTuple_Pack(2, cls_text.get(), funcs.get()));
  if (!arguments) return call.fail();
  Ref state = Ref::steal(PyObject_GetAttr(self, frame::names::dunder_dict.get()));
  if (!state) return call.fail();
  Ref reduced = Ref::steal(PyTuple_Pack(3, object_class.get(), arguments.get(), state.get()));
  if (!reduced) return call.fail();
  return reduced;
}

constinit const frame::FunctionSpec SpecialWrapper_new_spec{
    .qualname = "SpecialWrapper.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .star_kwargs = "kwargs",
    .locals = {"loadclass", "full_name", "function_to_run"},
    .implementation = SpecialWrapper_new,
};

constinit const frame::FunctionSpec UnpicklableObject_new_spec{
    .qualname = "UnpicklableObject.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .implementation = UnpicklableObject_new,
};

constinit const frame::FunctionSpec UnpicklableObject_reduce_spec{
    .qualname = "UnpicklableObject.__reduce__",
    .parameters = {"self"},
    .convention = frame::Convention::kSingleArgument,
    .implementation = UnpicklableObject_reduce,
};

}  // namespace

constinit const frame::ClassSpec special_wrapper_class{
    .name = names::SpecialWrapper,
    .methods = {&SpecialWrapper_new_spec},
};

constinit const frame::ClassSpec unpicklable_object_class{
    .name = names::UnpicklableObject,
    .base = &names::PayloadWrapperBase,
    .methods = {&UnpicklableObject_new_spec, &UnpicklableObject_reduce_spec},
};

}  // namespace payload_wrapper
