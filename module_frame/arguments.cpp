#include "module_frame/arguments.hpp"

#include <algorithm>

namespace frame {

Signature::Signature(const char* name, std::initializer_list<const char*> parameters,
                     const char* star_args, const char* star_kwargs, Convention convention) noexcept
    : name(name), star_args(star_args), star_kwargs(star_kwargs), convention(convention) {
  for (const char* parameter : parameters) {
    if (count < kMaxParameters) this->parameters[count++] = parameter;
  }
}

int Signature::intern() noexcept {
  for (int i = 0; i < count; ++i) {
    if (interned[i] != nullptr) continue;
    interned[i] = PyUnicode_InternFromString(parameters[i]);
    if (interned[i] == nullptr) return -1;
  }
  return 0;
}

namespace {

// The message builders are cold: the success path never reaches them.
[[gnu::cold, gnu::noinline]] bool raise_no_keywords(const Signature& signature) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", signature.name);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_one_argument(const Signature& signature, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", signature.name,
               given);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_count(const Signature& signature, Py_ssize_t given) {
  Py_ssize_t expected = signature.count;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               signature.name, signature.star_args ? "at least" : "exactly", expected,
               expected == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_keyword_type(const Signature& signature) {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_unexpected_keyword(const Signature& signature,
                                                           PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
               keyword);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_multiple_values(const Signature& signature,
                                                        PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
               signature.name, keyword);
  return false;
}

// 1 when equal, 0 when not, -1 on error. Interned names usually match by identity.
int same_name(PyObject* keyword, PyObject* name) {
  if (keyword == name) return 1;
  if (!PyUnicode_Check(keyword)) return 0;
  int result = PyUnicode_Compare(keyword, name);
  if (result == -1 && PyErr_Occurred()) return -1;
  return result == 0;
}

// The value passed for `name` by keyword, or null (check PyErr_Occurred).
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    int same = same_name(PyTuple_GET_ITEM(kwnames, i), name);
    if (same < 0) return nullptr;
    if (same) return kwvalues[i];
  }
  return nullptr;
}

// Index of the parameter among [first, last) named `keyword`, or -1; -2 on error.
int parameter_index(const Signature& signature, PyObject* keyword, int first, int last) {
  for (int i = first; i < last; ++i) {
    int same = same_name(keyword, signature.interned[i]);
    if (same < 0) return -2;
    if (same) return i;
  }
  return -1;
}

// Every keyword that is not a named parameter still to be filled: a duplicate
// of a positional one, a surplus for **kwargs, or an error.
bool sort_out_keywords(const Signature& signature, PyObject* kwnames, PyObject* const* kwvalues,
                       int positional, Arguments& out) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(keyword)) return raise_keyword_type(signature);
    int index = parameter_index(signature, keyword, positional, signature.count);
    if (index == -2) return false;
    if (index >= 0) continue;
    index = parameter_index(signature, keyword, 0, positional);
    if (index == -2) return false;
    if (index >= 0) return raise_multiple_values(signature, keyword);
    if (!out.star_kwargs) return raise_unexpected_keyword(signature, keyword);
    if (PyDict_SetItem(out.star_kwargs.get(), keyword, kwvalues[i]) < 0) return false;
  }
  return true;
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) noexcept {
  Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (signature.convention == Convention::kSingleArgument) {
    if (keyword_count != 0) return raise_no_keywords(signature);
    if (nargs != 1) return raise_one_argument(signature, nargs);
    out.values[0] = args[0];
    return true;
  }

  const int count = signature.count;
  if (nargs > count && !signature.star_args) return raise_count(signature, nargs);
  const int positional = static_cast<int>(std::min<Py_ssize_t>(nargs, count));
  for (int i = 0; i < positional; ++i) out.values[i] = args[i];
  if (keyword_count == 0) {
    if (positional < count) return raise_count(signature, nargs);
  } else {
    PyObject* const* kwvalues = args + nargs;
    for (int i = positional; i < count; ++i) {
      out.values[i] = find_keyword(kwnames, kwvalues, signature.interned[i]);
      if (out.values[i] == nullptr) {
        return PyErr_Occurred() ? false : raise_count(signature, i);
      }
    }
  }

  if (signature.star_args) {
    out.star_args = Ref::steal(nargs > count ? PyTuple_New(nargs - count) : PyTuple_New(0));
    if (!out.star_args) return false;
    for (Py_ssize_t i = count; i < nargs; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(out.star_args.get(), i - count, args[i]);
    }
  }
  if (signature.star_kwargs) {
    out.star_kwargs = Ref::steal(PyDict_New());
    if (!out.star_kwargs) return false;
  }
  if (keyword_count != 0)
    return sort_out_keywords(signature, kwnames, args + nargs, positional, out);
  return true;
}

}  // namespace frame
