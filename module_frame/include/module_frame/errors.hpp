#pragma once

#include <Python.h>

namespace frame {

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
