#include "callable_naming.hpp"

namespace callable_naming {

namespace {

PyObject* get_function_full_name(frame::Call& call) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return call.fail(__LINE__);
}

}  // namespace

frame::BuiltinSpec get_function_full_name_spec{
    .function = {
        .qualname = "get_function_full_name",
        .signature = {"get_function_full_name", {"module_name", "function_obj"}},
        .doc = "\n"
               "        This function extracts module name from function_object\n"
               "        :param function_obj: callable to extract module from.\n"
               "        :type function_obj: Callable.\n"
               "        :param module_name: Is the callable a function\n"
               "        :type module_name: bool.\n"
               "        :return The function name.\n"
               "        :rtype str.\n"
               "        ",
        .implementation = get_function_full_name,
        .line = __LINE__,
    }};

}  // namespace callable_naming
