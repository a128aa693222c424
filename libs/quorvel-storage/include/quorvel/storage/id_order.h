#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvel/storage/record_list.h"

namespace quorvel {

// Whether the ids of the entries of `list` stand in strictly ascending byte
// order, each id once: the order in which RecordStore::write_new takes
// them.
bool ids_strictly_ascending(const RecordList& list);

// The positions of the entries of `list` that a database keeps when they
// are stored one after another in list order, in ascending byte order of
// their ids: of entries with one id, the last.
std::vector<std::size_t> kept_in_id_order(const RecordList& list);

// A new list holding copies of the entries of `list` at `positions`, in
// that order. Throws std::bad_alloc.
RecordList copy_entries(const RecordList& list, std::span<const std::size_t> positions);

}  // namespace quorvel
