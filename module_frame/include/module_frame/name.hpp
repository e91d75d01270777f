#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace frame {

// A stamp of the namespaces a global lookup reads (see globals.cpp).
struct NamespaceStamp {
  uint64_t globals = 0;
  uint64_t builtins = 0;

  bool operator==(const NamespaceStamp&) const = default;
};

// The last answer of the global lookup of a name: valid for that namespace
// while the namespaces' stamp is the one kept with it. The value is borrowed
// from the namespace, which holds it while nothing changes there.
struct KeptAnswer {
  PyObject* globals = nullptr;
  PyObject* value = nullptr;
  NamespaceStamp stamp;
};

// A text interned when a module body first runs and kept for the life of the
// process. Constant-initialised: nothing runs before the interpreter does.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  PyObject* get() const noexcept { return object_; }
  const char* text() const noexcept { return text_; }

  // The last answer of a global lookup of this name.
  KeptAnswer& answer() const noexcept { return answer_; }

 private:
  friend int intern_names(std::span<Name* const> names) noexcept;
  const char* text_;
  PyObject* object_ = nullptr;
  mutable KeptAnswer answer_;
};

// Interns every name of the table that is not interned yet: 0, or -1 with the
// exception set (the names interned so far are kept; the rest are tried again
// at the next load).
int intern_names(std::span<Name* const> names) noexcept;

}  // namespace frame

// A table of names, each text declared once. LIST(NAME) applies NAME to each
// (identifier, "text") pair; FRAME_NAMES(LIST), inside a namespace, defines a
// frame::Name per pair and `all`, the table that the module body interns.
#define FRAME_NAME_DEFINITION(identifier, text) inline constinit ::frame::Name identifier{text};
#define FRAME_NAME_ADDRESS(identifier, text) &identifier,
#define FRAME_NAMES(LIST)     \
  LIST(FRAME_NAME_DEFINITION) \
  inline constinit ::frame::Name* const all[] = {LIST(FRAME_NAME_ADDRESS)};
