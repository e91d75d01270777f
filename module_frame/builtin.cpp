#include <string>

#include "module_frame/function.hpp"

namespace frame {

namespace {

// "name(parameters)\n--\n\n" before the docstring: CPython strips it from
// __doc__ and offers it to inspect as __text_signature__.
std::string text_signature(const FunctionSpec& spec) {
  const Signature& signature = spec.signature;
  std::string text = std::string(signature.name) + "(";
  for (int i = 0; i < signature.count; ++i) {
    if (i) text += ", ";
    text += signature.parameters[i];
  }
  if (signature.star_args) text += std::string(signature.count ? ", *" : "*") + signature.star_args;
  if (signature.star_kwargs) text += std::string(", **") + signature.star_kwargs;
  text += ")\n--\n\n";
  if (spec.doc) text += spec.doc;
  return text;
}

}  // namespace

Ref make_builtin(Module& module, BuiltinSpec& spec, BuiltinEntry entry) noexcept {
  FunctionSpec& function = spec.function;
  if (function.signature.intern() < 0) return Ref();
  // The spec lives as long as the process, and with it the method definition
  // and the docstring that the function object points to.
  spec.doc_with_signature = text_signature(function);
  spec.method = {function.signature.name,
                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                 METH_FASTCALL | METH_KEYWORDS, spec.doc_with_signature.c_str()};
  spec.traceback_name.keep(
      Ref::steal(PyUnicode_FromFormat("%U.%s", module.name(), function.qualname)));
  if (!spec.traceback_name) return Ref();
  return Ref::steal(PyCFunction_NewEx(&spec.method, nullptr, module.name()));
}

}  // namespace frame
