#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py_ref.h"
#include "quorvel/core/engine.h"
#include "quorvel/json/json_value.h"

namespace quorvel::python {

// The named tuples the module hands back: Hit (id, score, metadata), one
// result of a search, and Record (id, vector, metadata, timestamp), a whole
// record. Made once by make_result_types() and kept for the life of the
// process. Each function below returns a new reference, or nullptr with an
// exception set; nothing returned refers back into the engine.

// Makes the two types and adds them to `module`. False with an exception
// set when they cannot be made.
[[nodiscard]] bool make_result_types(PyObject* module);

// A list of Hits, in the given order; the scores widened to floats.
PyObject* hit_list(const std::vector<SearchResult>& results);

// A Record of `id` (a str), a copy of `floats` as an array.array('f'),
// `metadata` as Python values and `timestamp` as an int or None. Runs
// Python code: never call it while the engine lock is held.
PyObject* record_object(PyObject* id, std::span<const float> floats, const std::optional<JsonValue>& metadata,
                        std::optional<std::uint64_t> timestamp);

}  // namespace quorvel::python
