#pragma once

#include "py_ref.h"

namespace quorvel::python {

// Creates the class Quorvel (a heap type, from a PyType_Spec): one open database
// per instance, with the constructor Quorvel(path) and the methods insert,
// search, get, get_all and delete. Returns a new reference to the class, or
// nullptr with an exception set.
PyObject* make_quorvel_type();

}  // namespace quorvel::python
