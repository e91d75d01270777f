#include "module_frame/name.hpp"

namespace frame {

namespace {
// Constant-initialised, so it is ready before any Name's constructor runs.
Name* registered_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(registered_names) {
  registered_names = this;
}

int Name::intern_all() noexcept {
  for (Name* name = registered_names; name != nullptr; name = name->next_) {
    if (name->object_ != nullptr) continue;
    name->object_ = PyUnicode_InternFromString(name->text_);
    if (name->object_ == nullptr) return -1;
  }
  return 0;
}

}  // namespace frame
