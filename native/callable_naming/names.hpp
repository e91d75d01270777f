#pragma once

#include "module_frame/name.hpp"

// Every text the module interns, each declared once; the dunder names and
// "builtins" are the frame's (frame::names).
#define CALLABLE_NAMING_NAMES(NAME)                  \
  NAME(typing, "typing")                             \
  NAME(Callable, "Callable")                         \
  NAME(types, "types")                               \
  NAME(WRAPPER_DESCRIPTOR, "WRAPPER_DESCRIPTOR")     \
  NAME(QUALNAME_STR, "QUALNAME_STR")                 \
  NAME(FUNC_STR, "FUNC_STR")                         \
  NAME(FUNC_NAME, "FUNC_NAME")                       \
  NAME(SELF_CONST, "SELF_CONST")                     \
  NAME(METHOD_DESCRIPTOR, "METHOD_DESCRIPTOR")       \
  NAME(MODULE_STR, "MODULE_STR")                     \
  NAME(CLASS_STR, "CLASS_STR")                       \
  NAME(INIT_STR, "INIT_STR")                         \
  NAME(BUILTINS, "BUILTINS")                         \
  NAME(OBJ_CLASS, "OBJ_CLASS")                       \
  NAME(MemberDescriptorType, "MemberDescriptorType") \
  NAME(GetSetDescriptorType, "GetSetDescriptorType") \
  NAME(mro, "mro")

namespace callable_naming::names {
FRAME_NAMES(CALLABLE_NAMING_NAMES)
}  // namespace callable_naming::names
