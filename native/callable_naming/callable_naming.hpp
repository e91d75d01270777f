#pragma once

#include "module_frame/frame.hpp"

namespace callable_naming {

extern frame::Module module;
extern frame::BuiltinSpec get_function_module_spec;
extern frame::BuiltinSpec get_function_full_name_spec;

}  // namespace callable_naming
