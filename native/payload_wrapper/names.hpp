#pragma once

#include "module_frame/name.hpp"

// Every text the module interns, each declared once; the dunder names are the
// frame's (frame::names).
#define PAYLOAD_WRAPPER_NAMES(NAME)                                    \
  NAME(copy, "copy")                                                   \
  NAME(typing, "typing")                                               \
  NAME(Any, "Any")                                                     \
  NAME(AnyStr, "AnyStr")                                               \
  NAME(dravolt_common_utils, "dravolt_common.utils")                   \
  NAME(special_unpicklers, "special_unpicklers")                       \
  NAME(JSONPICKLE_EXTERNAL_TYPE_KEY, "JSONPICKLE_EXTERNAL_TYPE_KEY")   \
  NAME(external_type_key, "py/dravolt/external/type")                  \
  NAME(FUNCS_INDEX, "FUNCS_INDEX")                                     \
  NAME(CLS_INDEX, "CLS_INDEX")                                         \
  NAME(get_attribute_full_name, "get_attribute_full_name")             \
  NAME(import_by_full_name, "import_by_full_name")                     \
  NAME(SpecialWrapper, "SpecialWrapper")                               \
  NAME(ModuleWrapper, "ModuleWrapper")                                 \
  NAME(ExceptionWrapper, "ExceptionWrapper")                           \
  NAME(FunctionWrapper, "FunctionWrapper")                             \
  NAME(PayloadWrapperBase, "PayloadWrapperBase")                       \
  NAME(PayloadWrapper, "PayloadWrapper")                               \
  NAME(UnpicklableObject, "UnpicklableObject")                         \
  NAME(jsonpickle_unpickler, "jsonpickle.unpickler")                   \
  NAME(loadclass, "loadclass")                                         \
  NAME(importlib, "importlib")                                         \
  NAME(import_module, "import_module")                                 \
  NAME(get_special_unpickle_function, "get_special_unpickle_function") \
  NAME(funcs, "funcs")                                                 \
  NAME(cls, "cls")                                                     \
  NAME(args, "args")                                                   \
  NAME(module_full_name, "module_full_name")                           \
  NAME(fullname, "fullname")

namespace payload_wrapper::names {
FRAME_NAMES(PAYLOAD_WRAPPER_NAMES)
}  // namespace payload_wrapper::names
