#pragma once

#include <optional>
#include <vector>

#include "py_ref.h"
#include "quorvel/core/engine.h"
#include "quorvel/storage/record.h"

namespace quorvel::python {

// Each function returns a new reference, or nullptr with an exception set
// (memory exhaustion, or an id that is not valid UTF-8). Every str, tuple and
// list is new and holds copies: nothing refers back into the engine.

// The result of get: the metadata's compact JSON text, or None when there is
// no record or it has no metadata.
PyObject* get_result(const std::optional<SearchResult>& result);

// The result of get_all: a list with one (id, metadata text or None) tuple
// per record, in record-list order.
PyObject* record_list(const RecordList& records);

// The result of search: a list with one (id, score, metadata text or None)
// tuple per result, in the given order; the score widened to a float.
PyObject* search_result_list(const std::vector<SearchResult>& results);

}  // namespace quorvel::python
