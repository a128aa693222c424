#pragma once

#include "py_ref.h"
#include "quorvel/index/hnsw_index.h"

namespace quorvel::python {

// The class HnswConfig: an index configuration, immutable once made.
// Returns the new class, or nullptr with an exception set.
PyObject* make_hnsw_config_type();

// The configuration an HnswConfig holds; TypeError (with `message`, its
// "{}" the object's type) for any other object.
[[nodiscard]] bool hnsw_config_of(PyObject* object, std::string_view message, HnswConfig& out);

// A new HnswConfig holding `config`, or nullptr with an exception set.
PyObject* hnsw_config_object(const HnswConfig& config);

}  // namespace quorvel::python
