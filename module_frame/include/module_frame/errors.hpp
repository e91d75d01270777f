#pragma once

#include <Python.h>

#include "module_frame/ref.hpp"

namespace frame {

// What a failing step returns, with the exception set: it converts to the
// failure value of the function it leaves (null, an empty Ref, or -1).
struct Failed {
  operator PyObject*() const noexcept { return nullptr; }
  operator Ref() const noexcept { return Ref(); }
  operator int() const noexcept { return -1; }
};

// For guarded blocks that take instances of Exception only: clears the pending
// exception and returns true when it is one; otherwise leaves it (a
// KeyboardInterrupt, a SystemExit) pending and returns false.
bool clear_if_ordinary() noexcept;

// Makes the pending exception the one being handled, as an `except` clause
// does, for as long as this object lives: an exception raised meanwhile gets it
// as its __context__. The handled-exception state from before comes back after.
class HandlingException {
 public:
  HandlingException() noexcept;
  HandlingException(const HandlingException&) = delete;
  HandlingException& operator=(const HandlingException&) = delete;
  ~HandlingException();

 private:
  PyObject* saved_type_;
  PyObject* saved_value_;
  PyObject* saved_traceback_;
};

}  // namespace frame
