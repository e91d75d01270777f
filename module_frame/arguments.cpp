#include "module_frame/arguments.hpp"

#include <algorithm>

namespace frame {

namespace {

// The message builders are cold: the success path never reaches them.
[[gnu::cold, gnu::noinline]] bool raise_no_keywords(const FunctionSpec& spec) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name());
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_one_argument(const FunctionSpec& spec, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", spec.name(),
               given);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_count(const FunctionSpec& spec, Py_ssize_t given) {
  Py_ssize_t expected = spec.parameter_count();
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.name(), spec.star_args ? "at least" : "exactly", expected,
               expected == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_keyword_type(const FunctionSpec& spec) {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name());
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_unexpected_keyword(const FunctionSpec& spec,
                                                           PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name(),
               keyword);
  return false;
}

[[gnu::cold, gnu::noinline]] bool raise_multiple_values(const FunctionSpec& spec,
                                                        PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name(),
               keyword);
  return false;
}

// Keywords are str (the interpreter refuses others before the call), and
// those written in Python source are interned: the same object as the name.
bool is_named(PyObject* keyword, const CallSite& site, int index) {
  if (keyword == site.parameter_names[index].get()) return true;
  return PyUnicode_Check(keyword) &&
         PyUnicode_CompareWithASCIIString(keyword, site.spec->parameters[index]) == 0;
}

// The value passed by keyword for the parameter at `index`, or null.
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, const CallSite& site,
                       int index) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (is_named(PyTuple_GET_ITEM(kwnames, i), site, index)) return kwvalues[i];
  }
  return nullptr;
}

// Index of the parameter among [first, last) named `keyword`, or -1.
int parameter_index(const CallSite& site, PyObject* keyword, int first, int last) {
  for (int i = first; i < last; ++i) {
    if (is_named(keyword, site, i)) return i;
  }
  return -1;
}

// Every keyword that is not a named parameter still to be filled: a duplicate
// of a positional one, a surplus for **kwargs, or an error.
bool sort_out_keywords(const CallSite& site, PyObject* kwnames, PyObject* const* kwvalues,
                       int positional, Arguments& out) {
  const FunctionSpec& spec = *site.spec;
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(keyword)) return raise_keyword_type(spec);
    if (parameter_index(site, keyword, positional, spec.parameter_count()) >= 0) continue;
    if (parameter_index(site, keyword, 0, positional) >= 0) {
      return raise_multiple_values(spec, keyword);
    }
    if (!out.star_kwargs) return raise_unexpected_keyword(spec, keyword);
    if (PyDict_SetItem(out.star_kwargs.get(), keyword, kwvalues[i]) < 0) return false;
  }
  return true;
}

// Surplus positional arguments, for *args.
Ref surplus_tuple(PyObject* const* args, Py_ssize_t nargs, int count) {
  Py_ssize_t surplus = nargs > count ? nargs - count : 0;
  Ref tuple = Ref::steal(PyTuple_New(surplus));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < surplus; ++i) {
    PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[count + i]));
  }
  return tuple;
}

}  // namespace

bool parse_arguments(const CallSite& site, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) noexcept {
  const FunctionSpec& spec = *site.spec;
  // The common call: each named parameter by position, and nothing else.
  if (kwnames == nullptr && nargs == site.parameter_count && site.named_only) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    return true;
  }
  Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (spec.convention == Convention::kSingleArgument) {
    if (keyword_count != 0) return raise_no_keywords(spec);
    if (nargs != 1) return raise_one_argument(spec, nargs);
    out.values[0] = args[0];
    return true;
  }

  const int count = site.parameter_count;
  if (nargs > count && !spec.star_args) return raise_count(spec, nargs);
  const int positional = static_cast<int>(std::min<Py_ssize_t>(nargs, count));
  for (int i = 0; i < positional; ++i) out.values[i] = args[i];
  if (keyword_count == 0) {
    if (positional < count) return raise_count(spec, nargs);
  } else {
    PyObject* const* kwvalues = args + nargs;
    for (int i = positional; i < count; ++i) {
      out.values[i] = find_keyword(kwnames, kwvalues, site, i);
      if (out.values[i] == nullptr) return raise_count(spec, i);
    }
  }

  if (spec.star_args) {
    out.star_args = surplus_tuple(args, nargs, count);
    if (!out.star_args) return false;
  }
  if (spec.star_kwargs) {
    out.star_kwargs = Ref::steal(PyDict_New());
    if (!out.star_kwargs) return false;
  }
  if (keyword_count != 0) return sort_out_keywords(site, kwnames, args + nargs, positional, out);
  return true;
}

}  // namespace frame
