#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>

#include "module_frame/ref.hpp"

namespace frame {

constexpr int kMaxParameters = 4;

// How a function takes its arguments.
enum class Convention {
  // Each named parameter by position or by keyword; surplus positional
  // arguments go to *args, surplus keywords to **kwargs where present.
  kPositionalOrKeyword,
  // Exactly one positional argument and no keywords at all.
  kSingleArgument,
};

// A static description of a Python-level signature.
struct Signature {
  Signature(const char* name, std::initializer_list<const char*> parameters,
            const char* star_args = nullptr, const char* star_kwargs = nullptr,
            Convention convention = Convention::kPositionalOrKeyword) noexcept;

  const char* name;  // the function's __name__, used in every message
  std::array<const char*, kMaxParameters> parameters{};
  int count = 0;
  const char* star_args;    // name of the *args parameter, or null
  const char* star_kwargs;  // name of the **kwargs parameter, or null
  Convention convention;
  // Interned parameter names, for matching keywords.
  std::array<PyObject*, kMaxParameters> interned{};

  int intern() noexcept;
};

// The arguments of one call. The named values are borrowed from the caller;
// the *args tuple and **kwargs dict exist only when the signature has them.
struct Arguments {
  std::array<PyObject*, kMaxParameters> values{};
  Ref star_args;
  Ref star_kwargs;
};

// Fills `out` from a vectorcall, or raises TypeError with the message the
// calling conventions give and returns false.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) noexcept;

}  // namespace frame
