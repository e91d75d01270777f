#include "module_frame/traceback.hpp"

#include <frameobject.h>

#include <map>
#include <utility>

#include "module_frame/ref.hpp"

namespace frame {

namespace {

// An empty code object per failure site, kept for the life of the process, so
// that repeated failures of the same statement cost no new code object. The
// line is the code object's first line: a fresh frame reports it.
PyCodeObject* code_for(PyObject* function_name, PyObject* source_path, int line) {
  static std::map<std::pair<PyObject*, int>, PyCodeObject*> cache;
  auto key = std::make_pair(function_name, line);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  const char* function = PyUnicode_AsUTF8(function_name);
  const char* file = function ? PyUnicode_AsUTF8(source_path) : nullptr;
  if (file == nullptr) return nullptr;
  PyCodeObject* code = PyCode_NewEmpty(file, function, line);
  if (code == nullptr) return nullptr;
  // A finalizer run by the allocation above may have filled the entry.
  auto [entry, inserted] = cache.emplace(key, code);
  if (!inserted) {
    Py_DECREF(code);
    return entry->second;
  }
  // The name is kept with its entry, so that its address stays a valid key.
  Py_INCREF(function_name);
  return code;
}

PyObject* empty_globals() {
  static PyObject* globals = PyDict_New();
  return globals;
}

}  // namespace

void add_traceback(PyObject* function_name, PyObject* source_path, int line) noexcept {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyCodeObject* code = code_for(function_name, source_path, line);
  PyObject* globals = code ? empty_globals() : nullptr;
  Ref frame = globals ? Ref::steal(reinterpret_cast<PyObject*>(
                            PyFrame_New(PyThreadState_Get(), code, globals, nullptr)))
                      : Ref();
  if (!frame) {
    // Keep the original exception; what failed here only loses the entry.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace frame
