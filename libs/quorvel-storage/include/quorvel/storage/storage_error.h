#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// The error value of every fallible RecordStore operation: the step that
// failed, and the message of the library that failed (SQLite's own message,
// or the JSON reader's or writer's).
struct StorageError {
  enum class Kind {
    Serialization,  // a stored value is not a record's JSON form, or a record has none
    Database,       // the file cannot be opened, locked, or is not a database
    Transaction,    // a transaction cannot begin
    Table,          // the table "records" cannot be created, opened or has the wrong shape
    Commit,         // a transaction cannot be committed
    Storage,        // a row cannot be written, removed or read
  };

  Kind kind;
  std::string detail;

  // The kind's prefix ("Commit error: ", ...) followed by `detail`.
  std::string message() const;
  friend bool operator==(const StorageError&, const StorageError&) = default;
};

}  // namespace quorvel
