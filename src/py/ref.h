// Ownership of Python references, and the one C++ exception that carries
// "a Python exception is set" up to the function boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamberok::py {

// Thrown after a CPython call failed and left its exception set; the
// function boundary returns NULL so the interpreter raises it.
struct PythonError {};

// Owns one strong reference (or none). Every reference the module makes is
// held by a Ref until it is handed to the interpreter with release(), so an
// early exit through an exception never leaks or double-frees.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; throws PythonError when `object` is NULL,
  // which is how CPython reports a failure.
  static Ref steal(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return Ref(object);
  }
  // Takes over a new reference, or nothing when `object` is NULL (for
  // callers that handle the failure themselves).
  static Ref own(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) {
    Py_INCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Throws PythonError when a CPython call that returns a status failed.
inline void check(int status) {
  if (status < 0) throw PythonError{};
}

}  // namespace tamberok::py
