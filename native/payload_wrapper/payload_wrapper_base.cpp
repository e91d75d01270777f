#include "payload_wrapper.hpp"

namespace payload_wrapper {

namespace {

frame::Name PayloadWrapperBase{"PayloadWrapperBase"};
frame::Name PayloadWrapper{"PayloadWrapper"};

PyObject* not_implemented(frame::Call& call) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return call.fail(__LINE__);
}

frame::FunctionSpec PayloadWrapperBase_new{
    .qualname = "PayloadWrapperBase.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .locals = {"new_cls", "new_obj", "func"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec PayloadWrapper_new{
    .qualname = "PayloadWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
    .uses_class = true,
};

frame::FunctionSpec PayloadWrapper_init{
    .qualname = "PayloadWrapper.__init__",
    .signature = {"__init__", {"self", "cls"}, "_args"},
    .annotations = {{"cls", "Any"}},
    .doc = "\n        This object wraps extranl types.\n        ",
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec PayloadWrapper_reduce{
    .qualname = "PayloadWrapper.__reduce__",
    .signature = {"__reduce__", {"self"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .locals = {"funcs", "cls"},
    .implementation = not_implemented,
    .line = __LINE__,
};

}  // namespace

const frame::ClassSpec payload_wrapper_base_class{PayloadWrapperBase, nullptr,
                                                  {&PayloadWrapperBase_new}};

const frame::ClassSpec payload_wrapper_class{
    PayloadWrapper, &PayloadWrapperBase,
    {&PayloadWrapper_new, &PayloadWrapper_init, &PayloadWrapper_reduce}};

}  // namespace payload_wrapper
