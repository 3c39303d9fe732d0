// An owned reference to a Python object. Holding every new reference in a Ref
// means no early return can leak it and no path can release it twice.
// Like every object operation, a Ref may only be created, copied or destroyed
// while the interpreter lock is held.
#pragma once

#include <utility>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (typically an API result); null stays null.
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Makes a new reference from a borrowed one.
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (a function that returns a new reference
  // or steals one); the Ref becomes null.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace marrowfin::py
