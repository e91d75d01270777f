#pragma once

#include "module_frame/frame.hpp"
#include "names.hpp"

namespace payload_wrapper {

extern const frame::FunctionSpec get_attribute_full_name_spec;
extern const frame::FunctionSpec import_by_full_name_spec;

extern const frame::ClassSpec special_wrapper_class;
extern const frame::ClassSpec module_wrapper_class;
extern const frame::ClassSpec exception_wrapper_class;
extern const frame::ClassSpec function_wrapper_class;
extern const frame::ClassSpec payload_wrapper_base_class;
extern const frame::ClassSpec payload_wrapper_class;
extern const frame::ClassSpec unpicklable_object_class;

}  // namespace payload_wrapper
