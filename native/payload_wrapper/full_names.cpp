#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

frame::Name dunder_module{"__module__"};
frame::Name dunder_qualname{"__qualname__"};
frame::Name dunder_name{"__name__"};
frame::Name dot{"."};
frame::Name jsonpickle_unpickler{"jsonpickle.unpickler"};
frame::Name loadclass_name{"loadclass"};
frame::Name importlib_name{"importlib"};
frame::Name import_module_name{"import_module"};

PyObject* get_attribute_full_name(frame::Call& call) {
  PyObject* cls = call.arg(0);
  Ref mod = Ref::steal(PyObject_GetAttr(cls, dunder_module.get()));
  if (!mod) return call.fail(__LINE__);
  PyObject* name_attribute =
      frame::has_attribute(cls, dunder_qualname.get()) ? dunder_qualname.get() : dunder_name.get();
  // The pieces become text left to right: the module before the name is read again.
  Ref mod_text = frame::format_text(mod.get());
  if (!mod_text) return call.fail(__LINE__);
  Ref name = Ref::steal(PyObject_GetAttr(cls, name_attribute));
  if (!name) return call.fail(__LINE__);
  Ref name_text = frame::format_text(name.get());
  if (!name_text) return call.fail(__LINE__);
  Ref full_name = frame::join_text({mod_text.get(), dot.get(), name_text.get()});
  if (!full_name) return call.fail(__LINE__);
  return full_name.release();
}

PyObject* import_by_full_name(frame::Call& call) {
  PyObject* full_name = call.arg(0);
  Ref loadclass =
      frame::import_from(call.globals(), jsonpickle_unpickler.get(), loadclass_name.get());
  if (!loadclass) return call.fail(__LINE__);
  Ref importlib = frame::import_module(call.globals(), importlib_name.get());
  if (!importlib) return call.fail(__LINE__);

  Ref import_module = Ref::steal(PyObject_GetAttr(importlib.get(), import_module_name.get()));
  Ref module =
      import_module ? Ref::steal(PyObject_CallOneArg(import_module.get(), full_name)) : Ref();
  if (module) return module.release();
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return call.fail(__LINE__);

  // Not a module: whatever loadclass makes of the name, with the import's
  // failure as the exception being handled meanwhile.
  call.add_traceback_entry(__LINE__);
  frame::HandlingException handling;
  Ref found = Ref::steal(PyObject_CallOneArg(loadclass.get(), full_name));
  if (!found) return call.fail(__LINE__);
  return found.release();
}

}  // namespace

frame::FunctionSpec get_attribute_full_name_spec{
    .qualname = "get_attribute_full_name",
    .signature =
        {"get_attribute_full_name", {"cls"}, nullptr, nullptr, frame::Convention::kSingleArgument},
    .locals = {"mod"},
    .annotations = {{"cls", "Any"}, {"return", "AnyStr"}},
    .implementation = get_attribute_full_name,
    .line = __LINE__,
};

frame::FunctionSpec import_by_full_name_spec{
    .qualname = "import_by_full_name",
    .signature = {"import_by_full_name",
                  {"full_name"},
                  nullptr,
                  nullptr,
                  frame::Convention::kSingleArgument},
    .locals = {"loadclass", "importlib"},
    .implementation = import_by_full_name,
    .line = __LINE__,
};

}  // namespace payload_wrapper
