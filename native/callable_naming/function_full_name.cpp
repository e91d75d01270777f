// Python.h comes before any standard header: its pyconfig.h sets the feature
// macros the C library reads.
#include <Python.h>

#include <source_location>
#include <utility>

#include "callable_naming.hpp"
#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;
namespace dunder = frame::names;

namespace {

// The generic read of the attribute that a constant names; no
// __getattribute__ or __getattr__ of the class takes part.
Ref generic_read(const frame::Call& call, PyObject* obj, const frame::Name& constant) {
  Ref attr = call.global(constant);
  if (!attr) return attr;
  return frame::generic_attribute_or_error(obj, attr.get());
}

// obj.<name>.__name__, an ordinary read of each.
Ref read_name_of(PyObject* obj, const frame::Name& name) {
  Ref value = frame::attribute(obj, name.get());
  if (!value) return value;
  return frame::attribute(value.get(), dunder::dunder_name.get());
}

// f"{prefix}.{name}"
Ref dotted(PyObject* prefix, PyObject* name) {
  Ref prefix_text = frame::format_text(prefix);
  if (!prefix_text) return prefix_text;
  Ref name_text = frame::format_text(name);
  if (!name_text) return name_text;
  return frame::join_text({prefix_text.get(), dunder::dot.get(), name_text.get()});
}

// The generic read of a constant's attribute, made only after a truthy safe
// lookup of it: 1 with `value` set, 0 when the lookup was falsy (`value` left
// as it was), -1 with the exception set.
int read_if_present(const frame::Call& call, PyObject* obj, const frame::Name& constant,
                    Ref& value) {
  Ref attr = call.global(constant);
  Ref found = attr ? get_attr_safe(obj, attr.get()) : Ref();
  if (!found) return -1;
  int truth = frame::is_true(found.get());
  if (truth <= 0) return truth;
  Ref attr_again = call.global(constant);
  if (!attr_again) return -1;
  // When the object's layout answered, for the same name, and the truth test
  // of a str ran no code, the generic read gives that same value again.
  if (attr_again.get() == attr.get() && frame::answered_by_layout(obj, attr.get()) &&
      PyUnicode_CheckExact(found.get())) {
    value = std::move(found);
    return 1;
  }
  value = frame::generic_attribute_or_error(obj, attr_again.get());
  return value ? 1 : -1;
}

// The callable's own truthy __qualname__, joined to the module name: 1 with
// `full_name` set, 0 when there is none (`qualname_found` tells whether the
// safe lookup was truthy), -1 with the exception set.
int own_qualified_name(frame::Call& call, PyObject* module_name, PyObject* function_obj,
                       bool& qualname_found, Ref& full_name) {
  Ref qualname_tmp;
  int found = read_if_present(call, function_obj, names::QUALNAME_STR, qualname_tmp);
  if (found < 0) return -1;
  qualname_found = found;
  if (!found) return 0;
  int truth = frame::is_true(qualname_tmp.get());
  if (truth <= 0) return truth;
  full_name = dotted(module_name, qualname_tmp.get());
  return full_name ? 1 : -1;
}

// What Python raises for a local variable read before any assignment.
frame::Failed unbound_qualname(frame::Call& call,
                               std::source_location where = std::source_location::current()) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
               "qualname");
  return call.fail(where);
}

// A callable bound to a truthy object: its own qualified name, or else the
// bound object's class name and the callable's name.
Ref method_full_name(frame::Call& call, PyObject* module_name, Ref function_obj) {
  Ref function_name = Ref::borrow(dunder::empty.get());
  Ref self_attr = generic_read(call, function_obj.get(), names::SELF_CONST);
  if (!self_attr) return call.fail();

  // A bound method is replaced by its function; a built-in method stays.
  if (read_if_present(call, function_obj.get(), names::FUNC_STR, function_obj) < 0) {
    return call.fail();
  }
  if (read_if_present(call, function_obj.get(), names::FUNC_NAME, function_name) < 0) {
    return call.fail();
  }
  bool qualname_found = false;
  Ref full_name;
  int own = own_qualified_name(call, module_name, function_obj.get(), qualname_found, full_name);
  if (own < 0) return call.fail();
  if (own) return full_name;

  // The pieces are formatted left to right, as an f-string does.
  int truth = frame::is_true(module_name);
  if (truth < 0) return call.fail();
  Ref module_text;
  if (truth) {
    module_text = frame::format_text(module_name);
    if (!module_text) return call.fail();
  }
  Ref class_name = read_name_of(self_attr.get(), dunder::dunder_class);
  if (!class_name) return call.fail();
  Ref class_text = frame::format_text(class_name.get());
  if (!class_text) return call.fail();
  Ref function_text = frame::format_text(function_name.get());
  if (!function_text) return call.fail();
  PyObject* dot = dunder::dot.get();
  full_name =
      module_text
          ? frame::join_text({module_text.get(), dot, class_text.get(), dot, function_text.get()})
          : frame::join_text({class_text.get(), dot, function_text.get()});
  if (!full_name) return call.fail();
  return full_name;
}

// Any other callable: its own qualified name, or else its name, or else the
// name of its class.
Ref function_full_name(frame::Call& call, PyObject* module_name, PyObject* function_obj) {
  Ref function_name = Ref::borrow(dunder::empty.get());
  if (read_if_present(call, function_obj, names::FUNC_NAME, function_name) < 0) {
    return call.fail();
  }
  bool qualname_found = false;
  Ref full_name;
  int own = own_qualified_name(call, module_name, function_obj, qualname_found, full_name);
  if (own < 0) return call.fail();
  if (own) return full_name;
  // A falsy __qualname__ leaves qualname unset; without one, the name stands in.
  Ref qualname;
  if (!qualname_found) qualname = Ref::borrow(function_name.get());

  int truth = frame::is_true(module_name);
  if (truth < 0) return call.fail();
  if (!truth) {
    // The name itself, whatever it is: the return-type rule judges it.
    if (!qualname) return unbound_qualname(call);
    return qualname;
  }
  if (!qualname) return unbound_qualname(call);
  truth = frame::is_true(qualname.get());
  if (truth < 0) return call.fail();
  if (!truth) {
    Ref class_attr = get_attr_safe(function_obj, dunder::dunder_class.get());
    if (!class_attr) return call.fail();
    truth = frame::is_true(class_attr.get());
    if (truth < 0) return call.fail();
    if (truth) {
      qualname = read_name_of(function_obj, dunder::dunder_class);
      if (!qualname) return call.fail();
    }
  }
  full_name = dotted(module_name, qualname.get());
  if (!full_name) return call.fail();
  return full_name;
}

// The guarded steps: an ordinary exception from them gives null with no
// exception set; a KeyboardInterrupt or SystemExit stays set.
Ref guarded_full_name(frame::Call& call, PyObject* module_name, Ref function_obj) {
  int is_method = safe_lookup_is_true(call, function_obj.get(), names::SELF_CONST);
  if (is_method < 0) return call.fail();
  if (is_method) return method_full_name(call, module_name, std::move(function_obj));
  return function_full_name(call, module_name, function_obj.get());
}

Ref get_function_full_name(frame::Call& call) {
  PyObject* module_name = call.arg(0);
  if (!PyUnicode_CheckExact(module_name) && module_name != Py_None) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 "module_name", "str", Py_TYPE(module_name)->tp_name);
    return call.fail();
  }
  Ref function_obj = Ref::borrow(call.arg(1));
  // A class is named through its __init__.
  if (PyType_Check(function_obj.get())) {
    function_obj = Ref::steal(PyObject_GetAttr(function_obj.get(), dunder::dunder_init.get()));
    if (!function_obj) return call.fail();
  }

  // An ordinary exception of the guarded steps leaves full_name at "".
  Ref full_name = guarded_full_name(call, module_name, std::move(function_obj));
  if (!full_name) {
    if (!frame::clear_if_ordinary()) return full_name;
    full_name = Ref::borrow(dunder::empty.get());
  }
  if (!returnable(full_name.get())) return call.fail();
  return full_name;
}

}  // namespace

constinit const frame::FunctionSpec get_function_full_name_spec{
    .qualname = "get_function_full_name",
    .parameters = {"module_name", "function_obj"},
    .doc =
        "\n"
        "        This function extracts module name from function_object\n"
        "        :param function_obj: callable to extract module from.\n"
        "        :type function_obj: Callable.\n"
        "        :param module_name: Is the callable a function\n"
        "        :type module_name: bool.\n"
        "        :return The function name.\n"
        "        :rtype str.\n"
        "        ",
    .implementation = get_function_full_name,
};

constinit frame::Builtin get_function_full_name_builtin{get_function_full_name_spec};

}  // namespace callable_naming
