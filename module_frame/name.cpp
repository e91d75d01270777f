#include "module_frame/name.hpp"

namespace frame {

int intern_names(std::span<Name* const> names) noexcept {
  for (Name* name : names) {
    if (name->object_ != nullptr) continue;
    name->object_ = PyUnicode_InternFromString(name->text_);
    if (name->object_ == nullptr) return -1;
  }
  return 0;
}

}  // namespace frame
