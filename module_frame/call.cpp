#include "module_frame/call.hpp"

#include <cstring>

#include "module_frame/arguments.hpp"
#include "module_frame/traceback.hpp"

namespace frame {

const char* FunctionSpec::name() const noexcept {
  const char* dot = std::strrchr(qualname, '.');
  return dot ? dot + 1 : qualname;
}

int FunctionSpec::parameter_count() const noexcept {
  int count = 0;
  while (count < kMaxParameters && parameters[count] != nullptr) ++count;
  return count;
}

PyObject* CallSite::run(PyObject* const* args, size_t nargsf, PyObject* kwnames) const noexcept {
  Call call(*this);
  Ref result;
  if (parse_arguments(*this, args, PyVectorcall_NARGS(nargsf), kwnames, call.arguments)) {
    result = spec->implementation(call);
  }
  if (!result) {
    add_traceback(traceback_name.get(), source_path, call.line() ? call.line() : spec->line);
  }
  return result.release();
}

void Call::add_traceback_entry(std::source_location where) const noexcept {
  add_traceback(site_.traceback_name.get(), site_.source_path, static_cast<int>(where.line()));
}

}  // namespace frame
