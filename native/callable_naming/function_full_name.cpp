#include <Python.h>

#include <utility>

#include "callable_naming.hpp"
#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;

namespace {

// Module globals, read at each use.
frame::Name SELF_CONST{"SELF_CONST"};
frame::Name FUNC_STR{"FUNC_STR"};
frame::Name FUNC_NAME{"FUNC_NAME"};
frame::Name QUALNAME_STR{"QUALNAME_STR"};

// Fixed attribute names and text.
frame::Name dunder_init{"__init__"};
frame::Name dunder_class{"__class__"};
frame::Name dunder_name{"__name__"};
frame::Name dot{"."};
frame::Name empty_text{""};

// Records the line of a failing step for the traceback entry.
Ref failed(frame::Call& call, int line) {
  call.fail(line);
  return Ref();
}

// The generic read of the attribute that a constant names; no
// __getattribute__ or __getattr__ of the class takes part.
Ref generic_read(const frame::Call& call, PyObject* obj, const frame::Name& constant) {
  Ref attr = call.global(constant);
  if (!attr) return attr;
  return Ref::steal(PyObject_GenericGetAttr(obj, attr.get()));
}

// obj.<name>.__name__, an ordinary read of each.
Ref read_name_of(PyObject* obj, const frame::Name& name) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name.get()));
  if (!value) return value;
  return Ref::steal(PyObject_GetAttr(value.get(), dunder_name.get()));
}

// f"{prefix}.{name}"
Ref dotted(PyObject* prefix, PyObject* name) {
  Ref prefix_text = frame::format_text(prefix);
  if (!prefix_text) return prefix_text;
  Ref name_text = frame::format_text(name);
  if (!name_text) return name_text;
  return frame::join_text({prefix_text.get(), dot.get(), name_text.get()});
}

// The generic read of a constant's attribute, made only after a truthy safe
// lookup of it: 1 with `value` set, 0 when the lookup was falsy (`value` left
// as it was), -1 with the exception set.
int read_if_present(const frame::Call& call, PyObject* obj, const frame::Name& constant,
                    Ref& value) {
  int found = safe_lookup_is_true(call, obj, constant);
  if (found <= 0) return found;
  value = generic_read(call, obj, constant);
  return value ? 1 : -1;
}

// The callable's own truthy __qualname__, joined to the module name: 1 with
// `full_name` set, 0 when there is none (`qualname_found` tells whether the
// safe lookup was truthy), -1 with the exception set.
int own_qualified_name(frame::Call& call, PyObject* module_name, PyObject* function_obj,
                       bool& qualname_found, Ref& full_name) {
  Ref qualname_tmp;
  int found = read_if_present(call, function_obj, QUALNAME_STR, qualname_tmp);
  if (found < 0) return -1;
  qualname_found = found;
  if (!found) return 0;
  int truth = PyObject_IsTrue(qualname_tmp.get());
  if (truth <= 0) return truth;
  full_name = dotted(module_name, qualname_tmp.get());
  return full_name ? 1 : -1;
}

// What Python raises for a local variable read before any assignment.
Ref unbound_qualname(frame::Call& call, int line) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
               "qualname");
  return failed(call, line);
}

// A callable bound to a truthy object: its own qualified name, or else the
// bound object's class name and the callable's name.
Ref method_full_name(frame::Call& call, PyObject* module_name, Ref function_obj) {
  Ref function_name = Ref::borrow(empty_text.get());
  Ref self_attr = generic_read(call, function_obj.get(), SELF_CONST);
  if (!self_attr) return failed(call, __LINE__);

  // A bound method is replaced by its function; a built-in method stays.
  if (read_if_present(call, function_obj.get(), FUNC_STR, function_obj) < 0) {
    return failed(call, __LINE__);
  }
  if (read_if_present(call, function_obj.get(), FUNC_NAME, function_name) < 0) {
    return failed(call, __LINE__);
  }
  bool qualname_found = false;
  Ref full_name;
  int own = own_qualified_name(call, module_name, function_obj.get(), qualname_found, full_name);
  if (own < 0) return failed(call, __LINE__);
  if (own) return full_name;

  // The pieces are formatted left to right, as an f-string does.
  int truth = PyObject_IsTrue(module_name);
  if (truth < 0) return failed(call, __LINE__);
  Ref module_text;
  if (truth) {
    module_text = frame::format_text(module_name);
    if (!module_text) return failed(call, __LINE__);
  }
  Ref class_name = read_name_of(self_attr.get(), dunder_class);
  if (!class_name) return failed(call, __LINE__);
  Ref class_text = frame::format_text(class_name.get());
  if (!class_text) return failed(call, __LINE__);
  Ref function_text = frame::format_text(function_name.get());
  if (!function_text) return failed(call, __LINE__);
  full_name = module_text ? frame::join_text({module_text.get(), dot.get(), class_text.get(),
                                              dot.get(), function_text.get()})
                          : frame::join_text({class_text.get(), dot.get(), function_text.get()});
  if (!full_name) return failed(call, __LINE__);
  return full_name;
}

// Any other callable: its own qualified name, or else its name, or else the
// name of its class.
Ref function_full_name(frame::Call& call, PyObject* module_name, PyObject* function_obj) {
  Ref function_name = Ref::borrow(empty_text.get());
  if (read_if_present(call, function_obj, FUNC_NAME, function_name) < 0) {
    return failed(call, __LINE__);
  }
  bool qualname_found = false;
  Ref full_name;
  int own = own_qualified_name(call, module_name, function_obj, qualname_found, full_name);
  if (own < 0) return failed(call, __LINE__);
  if (own) return full_name;
  // A falsy __qualname__ leaves qualname unset; without one, the name stands in.
  Ref qualname;
  if (!qualname_found) qualname = Ref::borrow(function_name.get());

  int truth = PyObject_IsTrue(module_name);
  if (truth < 0) return failed(call, __LINE__);
  if (truth) {
    if (!qualname) return unbound_qualname(call, __LINE__);
    truth = PyObject_IsTrue(qualname.get());
    if (truth < 0) return failed(call, __LINE__);
    if (!truth) {
      Ref class_attr = get_attr_safe(function_obj, dunder_class.get());
      if (!class_attr) return failed(call, __LINE__);
      truth = PyObject_IsTrue(class_attr.get());
      if (truth < 0) return failed(call, __LINE__);
      if (truth) {
        qualname = read_name_of(function_obj, dunder_class);
        if (!qualname) return failed(call, __LINE__);
      }
    }
    full_name = dotted(module_name, qualname.get());
    if (!full_name) return failed(call, __LINE__);
    return full_name;
  }
  // The name itself, whatever it is: the return-type rule judges it.
  if (!qualname) return unbound_qualname(call, __LINE__);
  return qualname;
}

PyObject* get_function_full_name(frame::Call& call) {
  PyObject* module_name = call.arg(0);
  if (!PyUnicode_CheckExact(module_name) && module_name != Py_None) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 "module_name", "str", Py_TYPE(module_name)->tp_name);
    return call.fail(__LINE__);
  }
  Ref function_obj = Ref::borrow(call.arg(1));
  // A class is named through its __init__.
  if (PyType_Check(function_obj.get())) {
    function_obj = Ref::steal(PyObject_GetAttr(function_obj.get(), dunder_init.get()));
    if (!function_obj) return call.fail(__LINE__);
  }

  Ref full_name = Ref::borrow(empty_text.get());
  // The guard: an ordinary exception from these steps leaves full_name at "";
  // a KeyboardInterrupt or SystemExit goes on, with its step's line.
  Ref named;
  int is_method = safe_lookup_is_true(call, function_obj.get(), SELF_CONST);
  if (is_method < 0) {
    call.fail(__LINE__);
  } else if (is_method) {
    named = method_full_name(call, module_name, std::move(function_obj));
  } else {
    named = function_full_name(call, module_name, function_obj.get());
  }
  if (named) {
    full_name = std::move(named);
  } else if (!frame::clear_if_ordinary()) {
    return nullptr;
  }

  if (!returnable(full_name.get())) return call.fail(__LINE__);
  return full_name.release();
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
