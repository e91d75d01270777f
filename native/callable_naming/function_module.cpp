// Python.h comes before any standard header: its pyconfig.h sets the feature
// macros the C library reads.
#include <Python.h>

#include <utility>

#include "callable_naming.hpp"
#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;
namespace dunder = frame::names;

namespace {

// obj.first.second...: ordinary attribute reads, left to right.
template <typename... Rest>
Ref read(PyObject* obj, const frame::Name& first, const Rest&... rest) {
  Ref value = frame::attribute(obj, first.get());
  if constexpr (sizeof...(rest) == 0) {
    return value;
  } else {
    if (!value) return value;
    return read(value.get(), rest...);
  }
}

// The truth of `value == BUILTINS`: 1, 0, or -1 with the exception set.
int equals_builtins(const frame::Call& call, PyObject* value) {
  Ref builtins = call.global(names::BUILTINS);
  if (!builtins) return -1;
  Ref equal = Ref::steal(PyObject_RichCompare(value, builtins.get(), Py_EQ));
  if (!equal) return -1;
  return frame::is_true(equal.get());
}

// Whether function_obj is a method descriptor, a slot wrapper, a member or a
// getset descriptor. All four types are fetched before the first test.
int is_descriptor(frame::Call& call, PyObject* function_obj) {
  Ref method_descriptor = call.global(names::METHOD_DESCRIPTOR);
  if (!method_descriptor) return call.fail();
  Ref wrapper_descriptor = call.global(names::WRAPPER_DESCRIPTOR);
  if (!wrapper_descriptor) return call.fail();
  Ref types_module = call.global(names::types);
  if (!types_module) return call.fail();
  Ref member_descriptor = read(types_module.get(), names::MemberDescriptorType);
  if (!member_descriptor) return call.fail();
  types_module = call.global(names::types);
  if (!types_module) return call.fail();
  Ref getset_descriptor = read(types_module.get(), names::GetSetDescriptorType);
  if (!getset_descriptor) return call.fail();
  for (const Ref* descriptor_type :
       {&method_descriptor, &wrapper_descriptor, &member_descriptor, &getset_descriptor}) {
    int found = frame::is_instance(function_obj, descriptor_type->get());
    if (found < 0) return call.fail();
    if (found) return 1;
  }
  return 0;
}

// The module of the class of function_obj.<owner> (the class defining a
// descriptor, or the object a method is bound to); when that class is a
// built-in one, the owner's own module.
Ref owner_module(frame::Call& call, PyObject* function_obj, const frame::Name& owner) {
  Ref module = read(function_obj, owner, dunder::dunder_class, dunder::dunder_module);
  if (!module) return call.fail();
  int builtin = equals_builtins(call, module.get());
  if (builtin < 0) return call.fail();
  if (builtin) {
    module = read(function_obj, owner, dunder::dunder_module);
    if (!module) return call.fail();
  }
  return module;
}

// Any other object: the module of its class, and for an object of a built-in
// class that has an __objclass__, the module of that. `module` is what the
// steps before found (normally "").
Ref object_module(frame::Call& call, PyObject* function_obj, Ref module) {
  int has_class = safe_lookup_is_true(call, function_obj, names::CLASS_STR);
  if (has_class < 0) return call.fail();
  if (!has_class) return module;
  Ref cls = read(function_obj, dunder::dunder_class);
  if (!cls) return call.fail();
  int class_has_module = safe_lookup_is_true(call, cls.get(), names::MODULE_STR);
  if (class_has_module < 0) return call.fail();
  if (class_has_module) {
    module = read(function_obj, dunder::dunder_class, dunder::dunder_module);
    if (!module) return call.fail();
  }
  int builtin = equals_builtins(call, module.get());
  if (builtin < 0) return call.fail();
  if (builtin) {
    int has_objclass = safe_lookup_is_true(call, function_obj, names::OBJ_CLASS);
    if (has_objclass < 0) return call.fail();
    if (has_objclass) {
      module = read(function_obj, dunder::dunder_objclass, dunder::dunder_module);
      if (!module) return call.fail();
    }
  }
  return module;
}

// The module derived from what owns function_obj, when it has no usable __module__.
Ref derived_module(frame::Call& call, PyObject* function_obj, PyObject* is_method, Ref module) {
  int descriptor = is_descriptor(call, function_obj);
  if (descriptor < 0) return Ref();
  if (descriptor) return owner_module(call, function_obj, dunder::dunder_objclass);
  int truth = frame::is_true(is_method);
  if (truth < 0) return call.fail();
  if (truth) return owner_module(call, function_obj, dunder::dunder_self);
  return object_module(call, function_obj, std::move(module));
}

Ref get_function_module(frame::Call& call) {
  PyObject* function_obj = call.arg(0);
  PyObject* is_method = call.arg(1);

  Ref module = Ref::borrow(dunder::empty.get());
  Ref module_str = call.global(names::MODULE_STR);
  if (!module_str) return call.fail();
  Ref module_tmp = get_attr_safe(function_obj, module_str.get());
  if (!module_tmp) return call.fail();
  int truth = frame::is_true(module_tmp.get());
  if (truth < 0) return call.fail();
  if (truth) module = std::move(module_tmp);

  // module itself is tested again: a __bool__ of the found value runs twice.
  truth = frame::is_true(module.get());
  if (truth < 0) return call.fail();
  if (!truth) {
    // Each path has recorded the line of its failing step.
    module = derived_module(call, function_obj, is_method, std::move(module));
    if (!module) return module;
  }

  if (!returnable(module.get())) return call.fail();
  return module;
}

}  // namespace

constinit const frame::FunctionSpec get_function_module_spec{
    .qualname = "get_function_module",
    .parameters = {"function_obj", "is_method"},
    .doc =
        "\n"
        "        This functiom extracts module name from function_object\n"
        "        :param function_obj: callable to extract module from.\n"
        "        :type function_obj: Callable.\n"
        "        :param is_method: Is the callable a function\n"
        "        :type is_method: bool\n"
        "        :return The function module.\n"
        "        :rtype str.\n"
        "        ",
    .implementation = get_function_module,
};

constinit frame::Builtin get_function_module_builtin{get_function_module_spec};

}  // namespace callable_naming
