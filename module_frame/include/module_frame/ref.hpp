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
  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this == &other) return *this;
    PyObject* old = object_;
    object_ = other.object_;
    other.object_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (a null one too, for "failed with the exception set").
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Gives the reference away to the caller.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  void reset() noexcept { Py_CLEAR(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A reference kept for the life of the process (a module object, its
// namespace, interned text). It is never released: static destructors run
// after the interpreter has gone.
class KeptRef {
 public:
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void keep(Ref value) noexcept { Py_XSETREF(object_, value.release()); }
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace frame
