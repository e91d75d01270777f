#pragma once

#include <Python.h>

#include <cstdint>

#include "module_frame/name.hpp"
#include "module_frame/ref.hpp"

namespace frame {

// One extension module of the package, loaded through multi-phase
// initialisation. The create and exec slots are written once here; a module
// supplies its names and its body.
//
// The module object is process-wide: one interpreter, one module object, one
// successful run of the body. A body that fails leaves no trace, so a later
// import runs it again on a fresh module object.
class Module {
 public:
  // Returns 0, or -1 with the exception set after fail(__LINE__).
  using Body = int (*)(Module& module);

  Module(const char* short_name, const char* full_name, const char* source_path,
         Body body) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // What PyInit_<short name> returns.
  PyObject* init() noexcept;

  // The namespace of the module whose body runs or ran last (borrowed).
  PyObject* globals() const noexcept { return globals_.get(); }
  PyObject* name() const noexcept { return name_.get(); }
  PyObject* source_path() const noexcept { return source_path_.get(); }

  // For the body: records the line of the failing statement and returns -1.
  int fail(int line) noexcept {
    failed_line_ = line;
    return -1;
  }
  // Binds a new reference under `name` in the namespace; a null value is a failure.
  int bind(const Name& name, Ref value) noexcept;

 private:
  static PyObject* create(PyObject* spec, PyModuleDef* definition) noexcept;
  static int exec(PyObject* module) noexcept;
  static Module& of(PyModuleDef* definition) noexcept;
  int check_interpreter() noexcept;
  int warn_on_version_mismatch() noexcept;
  int run_body(PyObject* module) noexcept;

  // Stays the first member: the slots find their Module from the definition.
  PyModuleDef definition_;
  PyModuleDef_Slot slots_[3];
  const char* short_name_;
  const char* full_name_;
  const char* source_path_text_;
  Body body_;
  KeptRef name_;
  KeptRef init_name_;  // "init <full name>", the entry of a failing body
  KeptRef source_path_;
  KeptRef globals_;
  KeptRef module_;  // set by the one successful run of the body
  int64_t interpreter_id_ = -1;
  bool running_ = false;  // the body is running
  int failed_line_ = 0;
};

// The namespace of the builtins module (borrowed), kept from its first use.
PyObject* builtins_namespace() noexcept;

// Module namespace first, then the builtins; NameError "name '%U' is not defined".
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;

// `import name`: relative to the package of `globals` first, absolute only
// after an ImportError.
Ref import_module(PyObject* globals, PyObject* name) noexcept;

// `from module_name import name`, by the same rule; ImportError
// "cannot import name %S" when the module lacks the attribute.
Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name) noexcept;

}  // namespace frame
