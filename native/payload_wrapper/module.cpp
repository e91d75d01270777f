#include "payload_wrapper.hpp"

namespace payload_wrapper {

namespace {

frame::Name copy{"copy"};
frame::Name typing{"typing"};
frame::Name Any{"Any"};
frame::Name AnyStr{"AnyStr"};
frame::Name utils_package{"dravolt_common.utils"};
frame::Name special_unpicklers{"special_unpicklers"};
frame::Name JSONPICKLE_EXTERNAL_TYPE_KEY{"JSONPICKLE_EXTERNAL_TYPE_KEY"};
frame::Name FUNCS_INDEX{"FUNCS_INDEX"};
frame::Name CLS_INDEX{"CLS_INDEX"};
frame::Name get_attribute_full_name{"get_attribute_full_name"};
frame::Name import_by_full_name{"import_by_full_name"};

int body(frame::Module& module) {
  PyObject* globals = module.globals();
  if (module.bind(copy, frame::import_module(globals, copy.get())) < 0)
    return module.fail(__LINE__);
  if (module.bind(Any, frame::import_from(globals, typing.get(), Any.get())) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(AnyStr, frame::import_from(globals, typing.get(), AnyStr.get())) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(special_unpicklers,
                  frame::import_from(globals, utils_package.get(), special_unpicklers.get())) < 0) {
    return module.fail(__LINE__);
  }

  if (module.bind(JSONPICKLE_EXTERNAL_TYPE_KEY,
                  frame::Ref::steal(PyUnicode_FromString("py/dravolt/external/type"))) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(FUNCS_INDEX, frame::Ref::steal(PyLong_FromLong(1))) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(CLS_INDEX, frame::Ref::steal(PyLong_FromLong(0))) < 0) {
    return module.fail(__LINE__);
  }

  if (module.bind(get_attribute_full_name,
                  frame::make_function(module, get_attribute_full_name_spec)) < 0) {
    return module.fail(__LINE__);
  }
  if (module.bind(import_by_full_name, frame::make_function(module, import_by_full_name_spec)) <
      0) {
    return module.fail(__LINE__);
  }

  for (const frame::ClassSpec* cls :
       {&special_wrapper_class, &module_wrapper_class, &exception_wrapper_class,
        &function_wrapper_class, &payload_wrapper_base_class, &payload_wrapper_class,
        &unpicklable_object_class}) {
    if (frame::define_class(module, *cls) < 0) return module.fail(__LINE__);
  }
  return 0;
}

}  // namespace

frame::Module module{"payload_wrapper", "dravolt_common.utils.payload_wrapper",
                     "dravolt_common/utils/payload_wrapper", body};

}  // namespace payload_wrapper

PyMODINIT_FUNC PyInit_payload_wrapper() { return payload_wrapper::module.init(); }
