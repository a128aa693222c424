#pragma once

#include "py_ref.h"

namespace quorvel::python {

// The class Engine: one open database file with every option of the C++
// engine. Returns the new class, or nullptr with an exception set.
PyObject* make_engine_type();

}  // namespace quorvel::python
