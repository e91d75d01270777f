#include "module_frame/call.hpp"

#include <cstring>
#include <utility>

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
  return finish(call, std::move(result));
}

PyObject* CallSite::run_with_star_args(PyObject* first, PyObject* rest) const noexcept {
  Call call(*this);
  call.arguments.values[0] = first;
  call.arguments.star_args = Ref::borrow(rest);
  return finish(call, spec->implementation(call));
}

PyObject* CallSite::finish(const Call& call, Ref result) const noexcept {
  if (!result) {
    add_traceback(traceback_name.get(), source_path, call.line() ? call.line() : spec->line);
  }
  return result.release();
}

void Call::add_traceback_entry(std::source_location where) const noexcept {
  add_traceback(site_.traceback_name.get(), site_.source_path, static_cast<int>(where.line()));
}

}  // namespace frame
