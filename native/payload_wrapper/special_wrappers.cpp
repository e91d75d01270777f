#include "payload_wrapper.hpp"

namespace payload_wrapper {

namespace {

frame::Name SpecialWrapper{"SpecialWrapper"};
frame::Name UnpicklableObject{"UnpicklableObject"};
frame::Name PayloadWrapperBase{"PayloadWrapperBase"};

PyObject* not_implemented(frame::Call& call) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return call.fail(__LINE__);
}

frame::FunctionSpec SpecialWrapper_new{
    .qualname = "SpecialWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args", "kwargs"},
    .locals = {"loadclass", "full_name", "function_to_run"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec UnpicklableObject_new{
    .qualname = "UnpicklableObject.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
    .uses_class = true,
};

frame::FunctionSpec UnpicklableObject_reduce{
    .qualname = "UnpicklableObject.__reduce__",
    .signature = {"__reduce__", {"self"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .implementation = not_implemented,
    .line = __LINE__,
};

}  // namespace

const frame::ClassSpec special_wrapper_class{SpecialWrapper, nullptr, {&SpecialWrapper_new}};

const frame::ClassSpec unpicklable_object_class{
    UnpicklableObject, &PayloadWrapperBase, {&UnpicklableObject_new, &UnpicklableObject_reduce}};

}  // namespace payload_wrapper
