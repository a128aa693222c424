#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvel/json/json_reader.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

class Database;

// A database file read row by row as it is stored, without loading its
// records: for tools that inspect, export or rescue files, including files
// whose records would not all load. It takes the same lock as a RecordStore,
// so the two exclude each other, and it writes nothing.
//
// Not thread-safe.
class StoredFile {
 public:
  // What SQLite says of the file.
  struct Facts {
    std::uint64_t file_bytes = 0;  // the file alone, without a write-ahead log
    std::uint64_t page_size = 0;
    std::uint64_t page_count = 0;
    std::string journal_mode;  // "wal" for a file the store has written
  };

  // Opens the existing database file at `path`. Fails with Database (it
  // cannot be opened or locked, or is not a database) or Table (it holds no
  // table "records" of the store's shape), the detail naming `path`.
  [[nodiscard]] static std::expected<StoredFile, StorageError> open(const std::string& path);

  StoredFile(StoredFile&&) noexcept;
  StoredFile& operator=(StoredFile&&) noexcept;
  ~StoredFile();

  // Calls visit(key, value) for every row of the table "records", in
  // ascending byte order of the keys, until it returns false. Fails with
  // Storage when a row cannot be read (a damaged page); the rows before it
  // have been visited.
  [[nodiscard]] std::expected<void, StorageError> for_each_row(
      const std::function<bool(std::string_view key, std::string_view value)>& visit) const;

  [[nodiscard]] std::expected<Facts, StorageError> facts() const;

  // What the companion file beside the database (see snapshot.h) is worth.
  struct Companion {
    bool exists = false;
    // An open would load from it: it reflects the records as they are and
    // every checksum of its base and of the changes used is right.
    bool current = false;
    std::string why_not;        // when not current: the reason
    std::uint64_t bytes = 0;    // its length
    std::uint64_t records = 0;  // records in its base
    std::uint64_t changes = 0;  // changes appended since, that an open replays
  };

  // Checks the companion beside the file as an open would, and every block
  // of it besides. Reads it only.
  Companion companion() const;

  // The number of rows of the table "records", counted without reading the
  // values (for a progress display). Fails with Storage as for_each_row.
  [[nodiscard]] std::expected<std::uint64_t, StorageError> row_count() const;

 private:
  explicit StoredFile(std::unique_ptr<Database> database);

  std::unique_ptr<Database> database_;
};

// Reads a row of the table "records" as opening a store reads it: the
// record, or the reader's error (what was wrong, and where). A value whose
// id is not the row's key is refused like any other damaged value: it would
// load under an id that no delete or insert could reach.
[[nodiscard]] std::expected<Record, JsonError> read_stored_row(std::string_view key, std::string_view value);

// Reads a record in its stored form on its own, where no row's key goes
// with it (a line of an export): the record, or the reader's error.
[[nodiscard]] std::expected<Record, JsonError> read_stored_record(std::string_view value);

// The stored form of `record` (the compact JSON object with the keys id,
// vector, metadata and timestamp), or, when it has none that reads back,
// the reason that RecordStore::insert gives.
[[nodiscard]] std::expected<std::string, std::string> stored_form(const Record& record);

}  // namespace quorvel
