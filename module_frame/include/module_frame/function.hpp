#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>
#include <string>

#include "module_frame/arguments.hpp"
#include "module_frame/module.hpp"
#include "module_frame/name.hpp"
#include "module_frame/ref.hpp"
#include "module_frame/traceback.hpp"

namespace frame {

class Call;
using Implementation = PyObject* (*)(Call& call);

constexpr int kMaxLocals = 8;
constexpr int kMaxAnnotations = 4;

// One entry of a function's __annotations__: the key, and the module global
// whose value it maps to when the function is defined (null for None).
struct Annotation {
  const char* key;
  const char* global;
};

// How a function stored in a class behaves when looked up.
enum class Binding {
  kMethod,  // like a plain function: a bound method on an instance
  kStatic,  // like __new__: the function itself, also on an instance
};

// A Python-level function of a module, declared as data: everything its
// introspection reports, and the C++ implementation that runs its algorithm.
struct FunctionSpec {
  const char* qualname;
  Signature signature;
  std::initializer_list<const char*> locals = {};  // further local names, for __code__
  std::initializer_list<Annotation> annotations = {};
  const char* doc = nullptr;
  Implementation implementation = nullptr;
  int line = 0;  // where the function starts in our source
  Binding binding = Binding::kMethod;
  bool uses_class = false;  // argument-less super(): tied to its class once it exists
};

// What an implementation sees of one call: its parsed arguments, its module
// namespace, and a way to report the failing line for the traceback entry.
class Call {
 public:
  Call(PyObject* globals, PyObject* defining_class, PyObject* traceback_name,
       PyObject* source_path) noexcept
      : globals_(globals),
        defining_class_(defining_class),
        traceback_name_(traceback_name),
        source_path_(source_path) {}

  PyObject* arg(int index) const noexcept { return arguments.values[index]; }
  PyObject* star_args() const noexcept { return arguments.star_args.get(); }
  PyObject* star_kwargs() const noexcept { return arguments.star_kwargs.get(); }
  PyObject* globals() const noexcept { return globals_; }
  // The class the function is tied to (for the argument-less super()).
  PyObject* defining_class() const noexcept { return defining_class_; }

  // A module global, looked up at this use.
  Ref global(const Name& name) const noexcept { return lookup_global(globals_, name.get()); }

  // Records the line of the failing statement; returns null for `return call.fail(__LINE__);`.
  PyObject* fail(int line) noexcept {
    line_ = line;
    return nullptr;
  }
  int line() const noexcept { return line_; }

  // The entry of this function on the traceback of an exception that is
  // caught here, as an `except` clause of a Python function would show it.
  void add_traceback_entry(int line) const noexcept {
    add_traceback(traceback_name_, source_path_, line);
  }

  Arguments arguments;

 private:
  PyObject* globals_;
  PyObject* defining_class_;
  PyObject* traceback_name_;
  PyObject* source_path_;
  int line_ = 0;
};

// Runs an implementation on a vectorcall: parses, calls, and adds the
// traceback entry of `traceback_name` when an exception leaves it.
PyObject* run_call(const FunctionSpec& spec, PyObject* globals, PyObject* defining_class,
                   PyObject* traceback_name, PyObject* source_path, PyObject* const* args,
                   size_t nargsf, PyObject* kwnames) noexcept;

// A new function of our own Python-level function type, defined in `module`
// (its annotations are read from the namespace now).
Ref make_function(Module& module, FunctionSpec& spec) noexcept;

// Ties a function made by make_function to its class.
void tie_to_class(PyObject* function, PyObject* cls) noexcept;

// A class of the module, declared as data.
struct ClassSpec {
  const Name& name;
  const Name* base;  // module global naming the single base, or null for none
  std::initializer_list<FunctionSpec*> methods;
};

// Creates the class through its metaclass (with __prepare__ where there is a
// base), with __module__, __qualname__ and the methods in order, and binds it
// in the module namespace.
int define_class(Module& module, const ClassSpec& spec) noexcept;

// A module-level function that is a plain builtin (builtin_function_or_method
// with no __self__), its signature readable by inspect.
struct BuiltinSpec {
  FunctionSpec function;
  PyMethodDef method{};
  std::string doc_with_signature;
  KeptRef traceback_name;
};

// METH_FASTCALL | METH_KEYWORDS.
using BuiltinEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

Ref make_builtin(Module& module, BuiltinSpec& spec, BuiltinEntry entry) noexcept;

// The C entry point of a builtin; one instance per BuiltinSpec.
template <BuiltinSpec& spec, Module& module>
PyObject* builtin_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return run_call(spec.function, module.globals(), nullptr, spec.traceback_name.get(),
                  module.source_path(), args, static_cast<size_t>(nargs), kwnames);
}

template <BuiltinSpec& spec, Module& module>
Ref define_builtin() noexcept {
  return make_builtin(module, spec, builtin_entry<spec, module>);
}

}  // namespace frame
