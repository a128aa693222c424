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

  // What a failure means to a caller that reacts to it, where the store can
  // tell; most failures are Other.
  enum class Cause {
    Other,
    Locked,         // another store, in this process or another, holds the file
    Damaged,        // the file, or a row in it, cannot be read back
    ForkedChild,    // a change was asked of a store in a process forked from its owner
  };

  Kind kind;
  std::string detail;
  Cause cause = Cause::Other;

  // The kind's prefix ("Commit error: ", ...) followed by `detail`.
  std::string message() const;
  friend bool operator==(const StorageError&, const StorageError&) = default;
};

}  // namespace quorvel
