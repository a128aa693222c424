#pragma once

#include <sqlite3.h>

#include <expected>
#include <string_view>

#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

// Reads every stored record of the table "records" of the file at `path`,
// in ascending byte order of the keys and in one read transaction, into a
// new record list. Values are
// read in batches and parsed with `parallel_for` straight into per-worker
// blocks of floats, which are then copied into the list's arena: reading the
// next batch, parsing this one and appending the last run side by side; the
// raw bytes of a large file are never all in memory.
// Fails with Table, Transaction, Storage (a row cannot be read) or
// Serialization (the first row in key order that does not read back: its
// value is not a record's JSON form, or holds an id other than the row's
// key), naming the row and the file (see damaged_row_detail).
[[nodiscard]] std::expected<RecordList, StorageError> load_records(sqlite3* db, std::string_view path,
                                                                  const ParallelFor& parallel_for);

}  // namespace quorvel
