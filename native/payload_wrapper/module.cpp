#include "allowlist.hpp"
#include "payload_wrapper.hpp"

namespace payload_wrapper {

namespace {

int body(frame::Module& module) {
  if (module.bind_import(names::copy) < 0) return module.fail();
  if (module.bind_from(names::typing, {&names::Any, &names::AnyStr}) < 0) return module.fail();
  if (module.bind_from(names::dravolt_common_utils, {&names::special_unpicklers}) < 0) {
    return module.fail();
  }

  if (module.bind_texts({{names::JSONPICKLE_EXTERNAL_TYPE_KEY, names::external_type_key}}) < 0) {
    return module.fail();
  }
  if (module.bind(names::FUNCS_INDEX, frame::Ref::steal(PyLong_FromLong(1))) < 0) {
    return module.fail();
  }
  if (module.bind(names::CLS_INDEX, frame::Ref::steal(PyLong_FromLong(0))) < 0) {
    return module.fail();
  }

  if (frame::define_function(module, get_attribute_full_name_spec) < 0) return module.fail();
  if (frame::define_function(module, import_by_full_name_spec) < 0) return module.fail();

  for (const frame::ClassSpec* cls :
       {&special_wrapper_class, &module_wrapper_class, &exception_wrapper_class,
        &function_wrapper_class, &payload_wrapper_base_class, &payload_wrapper_class,
        &unpicklable_object_class}) {
    if (frame::define_class(module, *cls) < 0) return module.fail();
  }
  if (allowlist::prepare() < 0) return module.fail();
  return 0;
}

constinit const frame::ModuleSpec spec{
    .short_name = "payload_wrapper",
    .full_name = "dravolt_common.utils.payload_wrapper",
    .source_path = "dravolt_common/utils/payload_wrapper",
    .names = names::all,
    .body = body,
};

frame::Module module{spec};

}  // namespace

}  // namespace payload_wrapper

PyMODINIT_FUNC PyInit_payload_wrapper() { return payload_wrapper::module.init(); }
