#include "callable_naming.hpp"

namespace callable_naming {

namespace {

PyObject* get_function_module(frame::Call& call) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return call.fail(__LINE__);
}

}  // namespace

frame::BuiltinSpec get_function_module_spec{
    .function = {
        .qualname = "get_function_module",
        .signature = {"get_function_module", {"function_obj", "is_method"}},
        .doc = "\n"
               "        This functiom extracts module name from function_object\n"
               "        :param function_obj: callable to extract module from.\n"
               "        :type function_obj: Callable.\n"
               "        :param is_method: Is the callable a function\n"
               "        :type is_method: bool\n"
               "        :return The function module.\n"
               "        :rtype str.\n"
               "        ",
        .implementation = get_function_module,
        .line = __LINE__,
    }};

}  // namespace callable_naming
