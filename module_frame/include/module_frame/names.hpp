#pragma once

#include "module_frame/name.hpp"

// The texts of the frame: the dunder names that the frame and both modules
// read, and what the import rule reads of the import system.
#define FRAME_OWN_NAMES(NAME)                                    \
  NAME(dunder_class, "__class__")                                \
  NAME(dunder_dict, "__dict__")                                  \
  NAME(dunder_func, "__func__")                                  \
  NAME(dunder_init, "__init__")                                  \
  NAME(dunder_module, "__module__")                              \
  NAME(dunder_name, "__name__")                                  \
  NAME(dunder_new, "__new__")                                    \
  NAME(dunder_objclass, "__objclass__")                          \
  NAME(dunder_prepare, "__prepare__")                            \
  NAME(dunder_qualname, "__qualname__")                          \
  NAME(dunder_self, "__self__")                                  \
  NAME(dunder_setattr, "__setattr__")                            \
  NAME(dunder_loader, "__loader__")                              \
  NAME(dunder_file, "__file__")                                  \
  NAME(dunder_package, "__package__")                            \
  NAME(dunder_path, "__path__")                                  \
  NAME(dunder_spec, "__spec__")                                  \
  NAME(dunder_cached, "__cached__")                              \
  NAME(dunder_code, "__code__")                                  \
  NAME(co_filename, "co_filename")                               \
  NAME(name, "name")                                             \
  NAME(parent, "parent")                                         \
  NAME(submodule_search_locations, "submodule_search_locations") \
  NAME(find_spec, "find_spec")                                   \
  NAME(frozen_importlib, "_frozen_importlib")                    \
  NAME(dunder_builtins, "__builtins__")                          \
  NAME(path, "path")                                             \
  NAME(meta_path, "meta_path")                                   \
  NAME(path_hooks, "path_hooks")                                 \
  NAME(path_importer_cache, "path_importer_cache")               \
  NAME(modules, "modules")                                       \
  NAME(sys, "sys")                                               \
  NAME(path_mtime, "_path_mtime")                                \
  NAME(path_cache, "_path_cache")                                \
  NAME(loaders, "_loaders")                                      \
  NAME(builtins, "builtins")                                     \
  NAME(replace, "replace")                                       \
  NAME(empty, "")                                                \
  NAME(dot, ".")

namespace frame::names {
FRAME_NAMES(FRAME_OWN_NAMES)
}  // namespace frame::names
