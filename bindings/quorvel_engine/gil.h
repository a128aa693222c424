#pragma once

#include "py_ref.h"

namespace quorvel::python {

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while this one waits or works in C++. Nothing inside its
// scope may touch a Python object.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quorvel::python
