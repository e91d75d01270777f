#pragma once

#include <Python.h>

#include <source_location>

#include "module_frame/errors.hpp"
#include "module_frame/globals.hpp"
#include "module_frame/name.hpp"
#include "module_frame/ref.hpp"

namespace frame {

class Call;
using Implementation = Ref (*)(Call& call);

constexpr int kMaxParameters = 4;
constexpr int kMaxLocals = 8;
constexpr int kMaxAnnotations = 4;

// How a function takes its arguments.
enum class Convention {
  // Each named parameter by position or by keyword; surplus positional
  // arguments go to *args, surplus keywords to **kwargs where present.
  kPositionalOrKeyword,
  // Exactly one positional argument and no keywords at all.
  kSingleArgument,
};

// One entry of a function's __annotations__: the key, and the module global
// whose value it maps to when the function is defined (null for None).
struct Annotation {
  const char* key = nullptr;
  const Name* global = nullptr;
};

// A Python-level function of a module, declared as data: everything its
// introspection reports, and the C++ implementation that runs its algorithm.
// The arrays are fixed, so that one entry too many does not compile.
struct FunctionSpec {
  const char* qualname;
  const char* parameters[kMaxParameters] = {};  // the named parameters, in order
  const char* star_args = nullptr;              // the *args parameter, if any
  const char* star_kwargs = nullptr;            // the **kwargs parameter, if any
  Convention convention = Convention::kPositionalOrKeyword;
  const char* locals[kMaxLocals] = {};  // the further local names, for __code__
  Annotation annotations[kMaxAnnotations] = {};
  const char* doc = nullptr;
  Implementation implementation = nullptr;
  // Where the spec stands in its source file: the first line of the
  // function's code object, and the line of an argument error's entry.
  int line = static_cast<int>(std::source_location::current().line());

  // __name__: the last component of the qualified name.
  const char* name() const noexcept;
  int parameter_count() const noexcept;
};

// What a call of one function needs besides its arguments, made when the
// function is defined and held by its function object.
struct CallSite {
  const FunctionSpec* spec = nullptr;
  Ref globals;         // the namespace the function was defined in
  Ref traceback_name;  // "<module name>.<qualified name>"
  Ref defining_class;  // the class it is defined in, for the argument-less super()
  // The parameter names, interned: a keyword from Python source is the same object.
  Ref parameter_names[kMaxParameters];
  int parameter_count = 0;
  bool named_only = false;          // no *args and no **kwargs
  PyObject* source_path = nullptr;  // kept by the module for the life of the process

  // Parses the arguments, runs the implementation, and adds the function's
  // traceback entry when an exception leaves it.
  PyObject* run(PyObject* const* args, size_t nargsf, PyObject* kwnames) const noexcept;
  // The same for a function of one named parameter and *args, given its
  // value and the exact tuple of the rest.
  PyObject* run_with_star_args(PyObject* first, PyObject* rest) const noexcept;

 private:
  // The result, with the function's traceback entry added when it failed.
  PyObject* finish(const Call& call, Ref result) const noexcept;
};

// The arguments of one call. The named values are borrowed from the caller;
// the *args tuple and **kwargs dict exist only when the function has them.
struct Arguments {
  PyObject* values[kMaxParameters] = {};
  Ref star_args;
  Ref star_kwargs;
};

// What an implementation sees of one call: its parsed arguments, its module
// namespace, and a way to report the failing line for the traceback entry.
class Call {
 public:
  explicit Call(const CallSite& site) noexcept : site_(site) {}

  PyObject* arg(int index) const noexcept { return arguments.values[index]; }
  PyObject* star_args() const noexcept { return arguments.star_args.get(); }
  PyObject* star_kwargs() const noexcept { return arguments.star_kwargs.get(); }
  PyObject* globals() const noexcept { return site_.globals.get(); }
  // The class the function is defined in (for the argument-less super()).
  PyObject* defining_class() const noexcept { return site_.defining_class.get(); }

  // A module global, looked up at this use.
  Ref global(const Name& name) const noexcept { return lookup_global(globals(), name); }

  // Records the line of the failing statement: `if (!x) return call.fail();`.
  Failed fail(std::source_location where = std::source_location::current()) noexcept {
    line_ = static_cast<int>(where.line());
    return {};
  }
  int line() const noexcept { return line_; }

  // The entry of this function on the traceback of an exception that is
  // caught here, as an `except` clause of a Python function would show it.
  void add_traceback_entry(
      std::source_location where = std::source_location::current()) const noexcept;

  Arguments arguments;

 private:
  const CallSite& site_;
  int line_ = 0;
};

}  // namespace frame
