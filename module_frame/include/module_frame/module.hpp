#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <span>
#include <utility>

#include "module_frame/errors.hpp"
#include "module_frame/name.hpp"
#include "module_frame/ref.hpp"

namespace frame {

class Module;

// A text constant of a module: `name = "text"`, bound to the interned text.
struct TextConstant {
  const Name& name;
  const Name& text;
};

// One static record per module: what the frame's create and exec slots need.
struct ModuleSpec {
  const char* short_name;        // the definition's name, as in the re-initialisation message
  const char* full_name;         // the import name, as in sys.modules and the version warning
  const char* source_path;       // the file name of code objects and traceback entries
  std::span<Name* const> names;  // the module's own names, interned before its body runs
  int (*body)(Module& module);   // 0, or -1 with the exception set after `module.fail()`
};

// One extension module of the package, loaded through multi-phase
// initialisation. The create and exec slots are written once here; a module
// supplies its record and its body. A shared library holds one Module.
//
// The module object is process-wide: one interpreter, one module object, one
// successful run of the body. A body that fails leaves no trace, so a later
// import runs it again on a fresh module object.
class Module {
 public:
  explicit Module(const ModuleSpec& spec) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // What PyInit_<short name> returns.
  PyObject* init() noexcept;

  // The namespace of the module whose body runs or ran last (borrowed).
  PyObject* globals() const noexcept { return globals_.get(); }
  PyObject* name() const noexcept { return name_.get(); }
  PyObject* source_path() const noexcept { return source_path_.get(); }

  // For the body: records the line of the failing statement,
  // `if (module.bind(...) < 0) return module.fail();`.
  Failed fail(std::source_location where = std::source_location::current()) noexcept {
    failed_line_ = static_cast<int>(where.line());
    return {};
  }
  // Binds a new reference under `name` in the namespace; a null one is a failure.
  int bind(PyObject* name, Ref value) noexcept;
  int bind(const Name& name, Ref value) noexcept { return bind(name.get(), std::move(value)); }
  // Binds each constant in order.
  int bind_texts(std::initializer_list<TextConstant> constants) noexcept;
  // `import module_name`.
  int bind_import(const Name& module_name) noexcept;
  // `from module_name import names...`: one import, then each name in order.
  int bind_from(const Name& module_name, std::initializer_list<const Name*> names) noexcept;

 private:
  static PyObject* create(PyObject* spec, PyModuleDef* definition) noexcept;
  static int exec(PyObject* module) noexcept;
  int check_interpreter() noexcept;
  int exec_again(PyObject* module) noexcept;
  int run_body(PyObject* module) noexcept;
  int prepare() noexcept;
  int remember_import_attributes() noexcept;
  int report_failure() noexcept;

  const ModuleSpec& spec_;
  PyModuleDef definition_;
  PyModuleDef_Slot slots_[4];
  KeptRef name_;
  KeptRef init_name_;  // "init <full name>", the entry of a failing body
  KeptRef source_path_;
  KeptRef globals_;
  KeptRef module_;             // set by the one successful run of the body
  KeptRef import_attributes_;  // __spec__, __loader__ and the rest, as that run left them
  int64_t interpreter_id_ = -1;
  bool running_ = false;  // the body is running
  int failed_line_ = 0;
};

}  // namespace frame
