#include <Python.h>

#include <utility>

#include "callable_naming.hpp"
#include "safe_lookup.hpp"

namespace callable_naming {

using frame::Ref;

namespace {

// Module globals, read at each use.
frame::Name MODULE_STR{"MODULE_STR"};
frame::Name METHOD_DESCRIPTOR{"METHOD_DESCRIPTOR"};
frame::Name WRAPPER_DESCRIPTOR{"WRAPPER_DESCRIPTOR"};
frame::Name types{"types"};
frame::Name BUILTINS{"BUILTINS"};
frame::Name CLASS_STR{"CLASS_STR"};
frame::Name OBJ_CLASS{"OBJ_CLASS"};

// Fixed attribute names.
frame::Name MemberDescriptorType{"MemberDescriptorType"};
frame::Name GetSetDescriptorType{"GetSetDescriptorType"};
frame::Name dunder_objclass{"__objclass__"};
frame::Name dunder_class{"__class__"};
frame::Name dunder_module{"__module__"};
frame::Name dunder_self{"__self__"};
frame::Name empty_text{""};

// Records the line of a failing step for the traceback entry.
Ref failed(frame::Call& call, int line) {
  call.fail(line);
  return Ref();
}

int test_failed(frame::Call& call, int line) {
  call.fail(line);
  return -1;
}

// obj.first.second...: ordinary attribute reads, left to right.
template <typename... Rest>
Ref read(PyObject* obj, const frame::Name& first, const Rest&... rest) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, first.get()));
  if constexpr (sizeof...(rest) == 0) {
    return value;
  } else {
    if (!value) return value;
    return read(value.get(), rest...);
  }
}

// The truth of `value == BUILTINS`: 1, 0, or -1 with the exception set.
int equals_builtins(const frame::Call& call, PyObject* value) {
  Ref builtins = call.global(BUILTINS);
  if (!builtins) return -1;
  Ref equal = Ref::steal(PyObject_RichCompare(value, builtins.get(), Py_EQ));
  if (!equal) return -1;
  return PyObject_IsTrue(equal.get());
}

// Whether function_obj is a method descriptor, a slot wrapper, a member or a
// getset descriptor. All four types are fetched before the first test.
int is_descriptor(frame::Call& call, PyObject* function_obj) {
  Ref method_descriptor = call.global(METHOD_DESCRIPTOR);
  if (!method_descriptor) return test_failed(call, __LINE__);
  Ref wrapper_descriptor = call.global(WRAPPER_DESCRIPTOR);
  if (!wrapper_descriptor) return test_failed(call, __LINE__);
  Ref types_module = call.global(types);
  if (!types_module) return test_failed(call, __LINE__);
  Ref member_descriptor = read(types_module.get(), MemberDescriptorType);
  if (!member_descriptor) return test_failed(call, __LINE__);
  types_module = call.global(types);
  if (!types_module) return test_failed(call, __LINE__);
  Ref getset_descriptor = read(types_module.get(), GetSetDescriptorType);
  if (!getset_descriptor) return test_failed(call, __LINE__);
  for (const Ref* descriptor_type :
       {&method_descriptor, &wrapper_descriptor, &member_descriptor, &getset_descriptor}) {
    int found = PyObject_IsInstance(function_obj, descriptor_type->get());
    if (found < 0) return test_failed(call, __LINE__);
    if (found) return 1;
  }
  return 0;
}

// A descriptor of a class: the module of that class's metaclass, or of the
// class itself when the metaclass is a built-in one.
Ref descriptor_module(frame::Call& call, PyObject* function_obj) {
  Ref module = read(function_obj, dunder_objclass, dunder_class, dunder_module);
  if (!module) return failed(call, __LINE__);
  int builtin = equals_builtins(call, module.get());
  if (builtin < 0) return failed(call, __LINE__);
  if (builtin) {
    module = read(function_obj, dunder_objclass, dunder_module);
    if (!module) return failed(call, __LINE__);
  }
  return module;
}

// A method: the module of the bound object's class, or the bound object's own
// __module__ when that class is a built-in one (a class bound as __self__).
Ref method_module(frame::Call& call, PyObject* function_obj) {
  Ref module = read(function_obj, dunder_self, dunder_class, dunder_module);
  if (!module) return failed(call, __LINE__);
  int builtin = equals_builtins(call, module.get());
  if (builtin < 0) return failed(call, __LINE__);
  if (builtin) {
    module = read(function_obj, dunder_self, dunder_module);
    if (!module) return failed(call, __LINE__);
  }
  return module;
}

// Any other object: the module of its class, and for an object of a built-in
// class that has an __objclass__, the module of that. `module` is what the
// steps before found (normally "").
Ref object_module(frame::Call& call, PyObject* function_obj, Ref module) {
  int has_class = safe_lookup_is_true(call, function_obj, CLASS_STR);
  if (has_class < 0) return failed(call, __LINE__);
  if (!has_class) return module;
  Ref cls = read(function_obj, dunder_class);
  if (!cls) return failed(call, __LINE__);
  int class_has_module = safe_lookup_is_true(call, cls.get(), MODULE_STR);
  if (class_has_module < 0) return failed(call, __LINE__);
  if (class_has_module) {
    module = read(function_obj, dunder_class, dunder_module);
    if (!module) return failed(call, __LINE__);
  }
  int builtin = equals_builtins(call, module.get());
  if (builtin < 0) return failed(call, __LINE__);
  if (builtin) {
    int has_objclass = safe_lookup_is_true(call, function_obj, OBJ_CLASS);
    if (has_objclass < 0) return failed(call, __LINE__);
    if (has_objclass) {
      module = read(function_obj, dunder_objclass, dunder_module);
      if (!module) return failed(call, __LINE__);
    }
  }
  return module;
}

PyObject* get_function_module(frame::Call& call) {
  PyObject* function_obj = call.arg(0);
  PyObject* is_method = call.arg(1);

  Ref module = Ref::borrow(empty_text.get());
  Ref module_str = call.global(MODULE_STR);
  if (!module_str) return call.fail(__LINE__);
  Ref module_tmp = get_attr_safe(function_obj, module_str.get());
  if (!module_tmp) return call.fail(__LINE__);
  int truth = PyObject_IsTrue(module_tmp.get());
  if (truth < 0) return call.fail(__LINE__);
  if (truth) module = std::move(module_tmp);

  // module itself is tested again: a __bool__ of the found value runs twice.
  truth = PyObject_IsTrue(module.get());
  if (truth < 0) return call.fail(__LINE__);
  if (!truth) {
    // Each path records the line of its failing step.
    int descriptor = is_descriptor(call, function_obj);
    if (descriptor < 0) return nullptr;
    if (descriptor) {
      module = descriptor_module(call, function_obj);
    } else {
      truth = PyObject_IsTrue(is_method);
      if (truth < 0) return call.fail(__LINE__);
      module = truth ? method_module(call, function_obj)
                     : object_module(call, function_obj, std::move(module));
    }
    if (!module) return nullptr;
  }

  if (!returnable(module.get())) return call.fail(__LINE__);
  return module.release();
}

}  // namespace

frame::BuiltinSpec get_function_module_spec{
    .function = {
        .qualname = "get_function_module",
        .signature = {"get_function_module", {"function_obj", "is_method"}},
        .doc = "\n"
               "        This functiom extracts module name from function_object\n"
               "        :param function_obj: callable to extract module from.\n"
               "        :type function_obj: Callable.\n"
               "        :param is_method: Is the callable a function\n"
               "        :type is_method: bool\n"
               "        :return The function module.\n"
               "        :rtype str.\n"
               "        ",
        .implementation = get_function_module,
        .line = __LINE__,
    }};

}  // namespace callable_naming
