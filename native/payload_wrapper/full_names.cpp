#include "allowlist.hpp"
#include "module_frame/certain_failures.hpp"
#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::Ref;

namespace {

Ref get_attribute_full_name(frame::Call& call) {
  PyObject* cls = call.arg(0);
  Ref mod = frame::attribute(cls, frame::names::dunder_module.get());
  if (!mod) return call.fail();
  // A class that keeps an exact str as its module, and its qualified name in
  // its layout: the presence test and the second read give that name, and
  // neither piece runs code when it becomes text.
  PyObject* qualname = frame::plain_class_qualname(cls);
  if (qualname != nullptr && PyUnicode_CheckExact(mod.get()) && PyUnicode_CheckExact(qualname)) {
    Ref full_name = frame::join_text({mod.get(), frame::names::dot.get(), qualname});
    if (!full_name) return call.fail();
    return full_name;
  }
  const frame::Name& name_attribute = frame::has_attribute(cls, frame::names::dunder_qualname.get())
                                          ? frame::names::dunder_qualname
                                          : frame::names::dunder_name;
  // The pieces become text left to right: the module before the name is read again.
  Ref mod_text = frame::format_text(mod.get());
  if (!mod_text) return call.fail();
  Ref name = frame::attribute(cls, name_attribute.get());
  if (!name) return call.fail();
  Ref name_text = frame::format_text(name.get());
  if (!name_text) return call.fail();
  Ref full_name = frame::join_text({mod_text.get(), frame::names::dot.get(), name_text.get()});
  if (!full_name) return call.fail();
  return full_name;
}

Ref import_by_full_name(frame::Call& call) {
  PyObject* full_name = call.arg(0);
  Ref loadclass =
      frame::import_from(call.globals(), names::jsonpickle_unpickler.get(), names::loadclass.get());
  if (!loadclass) return call.fail();
  Ref importlib = frame::import_module(call.globals(), names::importlib.get());
  if (!importlib) return call.fail();
  if (allowlist::check_name(full_name, loadclass) < 0) return call.fail();

  Ref import_module = Ref::steal(PyObject_GetAttr(importlib.get(), names::import_module.get()));
  Ref module;
  if (import_module &&
      !frame::import_fails_for_certain(importlib.get(), import_module.get(), full_name)) {
    module = Ref::steal(PyObject_CallOneArg(import_module.get(), full_name));
  }
  if (module) return module;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return call.fail();

  // Not a module: whatever loadclass makes of the name, with the import's
  // failure as the exception being handled meanwhile.
  call.add_traceback_entry();
  frame::HandlingException handling;
  Ref found = Ref::steal(PyObject_CallOneArg(loadclass.get(), full_name));
  if (!found) return call.fail();
  return found;
}

}  // namespace

constinit const frame::FunctionSpec get_attribute_full_name_spec{
    .qualname = "get_attribute_full_name",
    .parameters = {"cls"},
    .convention = frame::Convention::kSingleArgument,
    .locals = {"mod"},
    .annotations = {{"cls", &names::Any}, {"return", &names::AnyStr}},
    .implementation = get_attribute_full_name,
};

constinit const frame::FunctionSpec import_by_full_name_spec{
    .qualname = "import_by_full_name",
    .parameters = {"full_name"},
    .convention = frame::Convention::kSingleArgument,
    .locals = {"loadclass", "importlib"},
    .implementation = import_by_full_name,
};

}  // namespace payload_wrapper
