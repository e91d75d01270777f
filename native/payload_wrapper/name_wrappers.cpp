#include "payload_wrapper.hpp"

namespace payload_wrapper {

namespace {

frame::Name ModuleWrapper{"ModuleWrapper"};
frame::Name ExceptionWrapper{"ExceptionWrapper"};
frame::Name FunctionWrapper{"FunctionWrapper"};

PyObject* not_implemented(frame::Call& call) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return call.fail(__LINE__);
}

frame::FunctionSpec ModuleWrapper_new{
    .qualname = "ModuleWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .locals = {"module_full_name"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec ModuleWrapper_init{
    .qualname = "ModuleWrapper.__init__",
    .signature = {"__init__", {"self", "module_full_name"}},
    .annotations = {{"return", nullptr}},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec ModuleWrapper_call{
    .qualname = "ModuleWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec ExceptionWrapper_new{
    .qualname = "ExceptionWrapper.__new__",
    .signature = {"__new__", {"cls"}, "args"},
    .locals = {"exception_full_name", "exception_args", "exception_dunder_dict",
               "exception_object", "unpickle_function"},
    .implementation = not_implemented,
    .line = __LINE__,
    .binding = frame::Binding::kStatic,
};

frame::FunctionSpec ExceptionWrapper_init{
    .qualname = "ExceptionWrapper.__init__",
    .signature = {"__init__", {"self"}, "args"},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec ExceptionWrapper_call{
    .qualname = "ExceptionWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_init{
    .qualname = "FunctionWrapper.__init__",
    .signature = {"__init__", {"self", "fullname"}},
    .annotations = {{"return", nullptr}},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_call{
    .qualname = "FunctionWrapper.__call__",
    .signature = {"__call__", {"self"}, "args", "kwds"},
    .annotations = {{"args", "Any"}, {"kwds", "Any"}, {"return", "Any"}},
    .implementation = not_implemented,
    .line = __LINE__,
};

frame::FunctionSpec FunctionWrapper_reduce{
    .qualname = "FunctionWrapper.__reduce__",
    .signature = {"__reduce__", {"self"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .locals = {"loadclass"},
    .implementation = not_implemented,
    .line = __LINE__,
};

}  // namespace

const frame::ClassSpec module_wrapper_class{
    ModuleWrapper, nullptr, {&ModuleWrapper_new, &ModuleWrapper_init, &ModuleWrapper_call}};

const frame::ClassSpec exception_wrapper_class{
    ExceptionWrapper, nullptr,
    {&ExceptionWrapper_new, &ExceptionWrapper_init, &ExceptionWrapper_call}};

const frame::ClassSpec function_wrapper_class{
    FunctionWrapper, nullptr,
    {&FunctionWrapper_init, &FunctionWrapper_call, &FunctionWrapper_reduce}};

}  // namespace payload_wrapper
