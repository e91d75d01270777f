#include "module_frame/function.hpp"
#include "module_frame/traceback.hpp"

namespace frame {

PyObject* run_call(const FunctionSpec& spec, PyObject* globals, PyObject* defining_class,
                   PyObject* traceback_name, PyObject* source_path, PyObject* const* args,
                   size_t nargsf, PyObject* kwnames) noexcept {
  Call call(globals, defining_class, traceback_name, source_path);
  PyObject* result = nullptr;
  // A rebound global can make our functions call each other without a
  // Python frame in between; the recursion limit still applies.
  if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
    if (parse_arguments(spec.signature, args, PyVectorcall_NARGS(nargsf), kwnames,
                        call.arguments)) {
      result = spec.implementation(call);
    }
    Py_LeaveRecursiveCall();
  }
  if (result == nullptr) {
    add_traceback(traceback_name, source_path, call.line() ? call.line() : spec.line);
  }
  return result;
}

}  // namespace frame
