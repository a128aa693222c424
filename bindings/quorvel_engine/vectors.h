#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "py_ref.h"

namespace quorvel::python {

// Vectors between Python and C++. Readers return true, or false with an
// exception set.
//
// An object that exports a buffer of 32-bit or 64-bit floats (a numpy array,
// an array.array('f'), a memoryview) is read in bulk, without a Python call
// per element: through the buffer protocol on CPython 3.11 and later, and on
// older interpreters through one memoryview(object).tobytes() copy. Any
// other sequence is read element by element with float(). 64-bit floats are
// rounded to 32-bit ones (beyond their range: infinite, which the store then
// refuses).

// Looks up the buffer protocol's functions when the interpreter has them in
// its stable ABI (3.11 and later). Call once, at module initialisation.
void find_buffer_protocol();

// Whether vectors are read through the buffer protocol (else through a copy).
bool has_buffer_protocol();

// One vector: a buffer of one dimension, or a sequence of numbers (a str is
// refused with TypeError, and so is an object that is not a sequence).
[[nodiscard]] bool read_vector(PyObject* object, std::vector<float>& out);

// Many vectors, one per row: a buffer of two dimensions, or a sequence whose
// items are read as read_vector reads one. `name` ("vectors", "queries")
// begins a message. A failure in item i is reported with `item_prefix`
// ("record {}: ") before its message and i as the exception's `index`.
[[nodiscard]] bool read_vectors(PyObject* object, const char* name, std::string_view item_prefix,
                                std::vector<std::vector<float>>& out);

// A new array.array('f') holding a copy of `floats`: numpy wraps it
// without copying (numpy.asarray gives a float32 array over the same
// memory). Returns nullptr with an exception set. Making it may start the
// garbage collector, which runs Python code: never call it while the engine
// lock is held.
PyObject* float_array(std::span<const float> floats);

// Finds array.array for vector_object. Call once, at module initialisation;
// false with an exception set when the module array cannot be imported.
[[nodiscard]] bool find_array_type();

}  // namespace quorvel::python
