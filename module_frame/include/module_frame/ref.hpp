#pragma once

#include <Python.h>

namespace frame {

// An owning reference: it releases what it holds. A raw PyObject* anywhere in
// this project is borrowed.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  // Safe for self-assignment: the old object is released after the new one is in place.
  Ref& operator=(Ref&& other) noexcept {
    Py_XSETREF(object_, other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (a null one too, for "failed with the exception set").
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  PyObject* get() const noexcept { return object_; }
  // Gives the reference away to the caller.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A reference kept for the life of the process (a module object, its
// namespace, a code object of a traceback entry). It is never released at
// exit: static destructors run after the interpreter has gone.
class KeptRef {
 public:
  constexpr KeptRef() noexcept = default;
  KeptRef(const KeptRef&) = delete;
  KeptRef& operator=(const KeptRef&) = delete;

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Keeps `value` in place of what was kept before, which is released.
  void keep(Ref value) noexcept { Py_XSETREF(object_, value.release()); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace frame
