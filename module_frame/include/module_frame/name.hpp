#pragma once

#include <Python.h>

namespace frame {

// An attribute or global name, interned once when the module body starts and
// kept for the life of the process, like the module object itself.
class Name {
 public:
  explicit Name(const char* text) noexcept;
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  PyObject* get() const noexcept { return object_; }
  const char* text() const noexcept { return text_; }

  // Interns every Name of this shared object that is not interned yet.
  static int intern_all() noexcept;

 private:
  const char* text_;
  PyObject* object_ = nullptr;
  Name* next_;
};

}  // namespace frame
