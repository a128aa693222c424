#pragma once

// Every file of the module includes Python.h through this header, so that the
// limited API is selected the same way everywhere.
#ifndef Py_LIMITED_API
#error "the module is built against the limited API; define Py_LIMITED_API"
#endif
#include <Python.h>

#include <utility>

namespace quorvel::python {

// Owns one strong reference to a Python object (or none) and drops it when
// destroyed. Needs the interpreter lock for every operation that touches the
// reference count.
class PyRef {
 public:
  PyRef() = default;
  // Takes over `owned`, a new reference or nullptr.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  // Takes a new reference to `borrowed`.
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quorvel::python
