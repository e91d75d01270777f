#pragma once

#include "module_frame/frame.hpp"
#include "names.hpp"

namespace callable_naming {

extern frame::Builtin get_function_module_builtin;
extern frame::Builtin get_function_full_name_builtin;

}  // namespace callable_naming
