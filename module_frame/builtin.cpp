#include "module_frame/builtin.hpp"

#include "module_frame/function.hpp"

namespace frame {

namespace {

// "name(parameters)\n--\n\n" before the docstring: CPython strips it from
// __doc__ and offers it to inspect as __text_signature__.
Ref doc_with_signature(const FunctionSpec& spec) {
  Ref text = Ref::steal(PyUnicode_FromFormat("%s(", spec.name()));
  auto append = [&text](const char* format, const char* piece) {
    if (!text) return;
    Ref more = Ref::steal(PyUnicode_FromFormat(format, piece));
    text = more ? Ref::steal(PyUnicode_Concat(text.get(), more.get())) : Ref();
  };
  for (int i = 0; i < spec.parameter_count(); ++i) append(i ? ", %s" : "%s", spec.parameters[i]);
  if (spec.star_args) append(spec.parameter_count() ? ", *%s" : "*%s", spec.star_args);
  if (spec.star_kwargs) append(", **%s", spec.star_kwargs);
  append(")\n--\n\n%s", spec.doc ? spec.doc : "");
  return text;
}

}  // namespace

int Builtin::define(Module& module, Entry entry) noexcept {
  // The method definition points into the text: it is made once and kept.
  if (!doc_) doc_.keep(doc_with_signature(spec_));
  const char* doc = doc_ ? PyUnicode_AsUTF8(doc_.get()) : nullptr;
  Ref name = Ref::steal(PyUnicode_InternFromString(spec_.name()));
  if (doc == nullptr || !name) return -1;
  Ref function = make_function(module, spec_);
  if (!function) return -1;
  function_.keep(std::move(function));
  method_ = {spec_.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
             METH_FASTCALL | METH_KEYWORDS, doc};
  return module.bind(name.get(), Ref::steal(PyCFunction_NewEx(&method_, nullptr, module.name())));
}

}  // namespace frame
